#include "engine/threats_info.h"

#include "db/sqlite_extensions_crypt.h"

namespace quillmark {

namespace {

constexpr const char* kThreatQuery =
    "select severity, CryptDecodeString(name) as malware_name from threatid where id=:id";

}  // namespace

void TMalwareDataBaseThreatsInfo::RegisterFunctions() {
  TSQLiteDatabase* db = DB();
  if (!db) return;
  TSQLite3ExtensionsCrypt::RegisterFunctionCryptEncodeString(*db);
  TSQLite3ExtensionsCrypt::RegisterFunctionCryptDecodeString(*db);
}

std::vector<TCustomSqlLiteDataBase::TRequiredStatement> TMalwareDataBaseThreatsInfo::RequiredStatements() const {
  return {{"threatid", kThreatQuery}};
}

bool TMalwareDataBaseThreatsInfo::GetMalwareThreatInfo(std::int32_t AMalwareID, TMalwareThreatInfo* AInfo) {
  if (!AInfo) return false;
  return Query("GetMalwareThreatInfo", false, [&](TSQLiteDatabase& db) {
    db.AddParamInt(":id", AMalwareID);
    auto table = db.GetUniTable(kThreatQuery);
    if (table->Eof()) return false;
    TMalwareThreatInfo info;
    info.Name = table->GetFieldByName("malware_name");
    info.Severity = static_cast<std::uint8_t>(table->FieldAsInteger(table->GetFieldIndex("severity")) & 0xFF);
    *AInfo = std::move(info);
    return true;
  });
}

}  // namespace quillmark
