#include "engine/threats_info.h"

#include "db/sqlite_extensions_crypt.h"

namespace quillmark {

void TMalwareDataBaseThreatsInfo::RegisterFunctions() {
  TSQLiteDatabase* db = DB();
  if (!db) return;
  TSQLite3ExtensionsCrypt::RegisterFunctionCryptEncodeString(*db);
  TSQLite3ExtensionsCrypt::RegisterFunctionCryptDecodeString(*db);
}

bool TMalwareDataBaseThreatsInfo::GetMalwareThreatInfo(std::int32_t AMalwareID, TMalwareThreatInfo* AInfo) {
  std::lock_guard<std::recursive_mutex> guard(FCS);
  TSQLiteDatabase* db = DB();
  if (!db || !AInfo) return false;
  db->AddParamInt(":id", AMalwareID);
  auto table = db->GetUniTable("select severity, CryptDecodeString(name) as malware_name from threatid where id=:id");
  if (table->Eof()) return false;
  AInfo->Name = table->GetFieldByName("malware_name");
  AInfo->Severity = static_cast<std::uint8_t>(table->FieldAsInteger(table->GetFieldIndex("severity")) & 0xFF);
  return true;
}

}  // namespace quillmark
