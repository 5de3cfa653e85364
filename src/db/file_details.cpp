#include "db/file_details.h"

#include "db/knowledge_keys.h"
#include "db/sqlite_extensions_base.h"
#include "db/sqlite_extensions_crypt.h"
#include "runtime/path_prepare.h"
#include "support/file_utils.h"
#include "support/text_utils.h"

namespace quillmark {

namespace {

// Every folder of a file entry that applies to the running Windows version,
// once. A location's folder comes from "paths" through "loc_paths_rel"; the
// catalogue gives a location and its folder the same id, which is what the
// inner join on "paths" inside aggr relies on.
constexpr const char* kLocationsQuery =
    "select aggr.recursive as recursive, CryptDecodeString(destPath.path) as path from files"
    "    inner join (files_loc_rel frel"
    "        inner join locations"
    "            on ("
    "                frel.locations=locations.id"
    "                and CheckOSVersion(locations.min_os, locations.max_os)"
    "            )"
    "        inner join loc_paths_rel lrel"
    "            on (locations.id=lrel.locations)"
    "        inner join paths on (lrel.locations=paths.id)"
    "    ) as aggr"
    "        on (aggr.file=files.id)"
    "    inner join paths destPath"
    "        on destPath.id=aggr.path"
    " where (files.hash=:hash)"
    "     and (not destPath.path is null)"
    "     and CheckOSVersion(files.min_os, files.max_os)"
    " group by destPath.path";

}  // namespace

void TMalwareDataBaseFileDetails::RegisterFunctions() {
  std::lock_guard<std::recursive_mutex> guard(FCS);
  TSQLiteDatabase* db = DB();
  if (!db) return;
  TSQLite3ExtensionsBase::RegisterFunctionCheckOSVersion(*db);
  TSQLite3ExtensionsCrypt::RegisterFunctionCryptEncodeString(*db);
  TSQLite3ExtensionsCrypt::RegisterFunctionCryptDecodeString(*db);
}

std::vector<TCustomSqlLiteDataBase::TRequiredStatement> TMalwareDataBaseFileDetails::RequiredStatements() const {
  return {{"files", kLocationsQuery}, {"files_loc_rel", kLocationsQuery}, {"locations", kLocationsQuery},
          {"loc_paths_rel", kLocationsQuery}, {"paths", kLocationsQuery}};
}

bool TMalwareDataBaseFileDetails::GetFileLocations(const std::string& AFileName, std::vector<TFilePathInfo>& APaths,
                                                   PFilePathInfoCheckParams AParams) {
  const std::size_t before = APaths.size();
  struct TRestore {
    std::vector<TFilePathInfo>& Paths;
    std::size_t Size;
    bool Done = false;
    ~TRestore() {
      if (!Done) Paths.resize(Size);
    }
  } restore{APaths, before};
  const bool found = Query("GetFileLocations", false, [&](TSQLiteDatabase& db) {
    runtime::ITargetSystem& target = db.Target();
    const bool decode = AParams == nullptr || AParams->DecodeEnvVariables;
    // The Sysnative alias exists from Windows Vista on, for 32-bit processes.
    const bool sysnative =
        target.IsWindows(runtime::TWindowsVersion::wvWinVista, runtime::TWindowsVersion::wvWin11) && target.IsWow64();

    db.AddParamText(":hash", TKnowledgeKeys::SystemFileKey(target.ExtractFileName(AFileName)));
    auto table = db.GetUniTable(kLocationsQuery);
    bool any = false;
    const int recursiveIndex = table->Eof() ? -1 : table->GetFieldIndex("recursive");
    const int pathIndex = table->Eof() ? -1 : table->GetFieldIndex("path");
    for (; !table->Eof(); table->Next()) {
      const std::string folder = FileUtils::UnExpandEnvStrings(target, table->FieldAsString(pathIndex));
      if (folder.empty()) continue;
      TFilePathInfo info;
      info.Path = target.ExcludeTrailingPathDelimiter(decode ? runtime::PreparePathName(target, folder) : folder);
      info.Recursive = static_cast<std::uint8_t>(table->FieldAsInteger(recursiveIndex)) != 0;
      APaths.push_back(info);
      if (sysnative && (StartsWithTextAscii(folder, "%windir%\\system32") ||
                        StartsWithTextAscii(folder, "%systemroot%\\system32"))) {
        TFilePathInfo alias;
        alias.Recursive = info.Recursive;
        alias.Path = decode ? target.ExcludeTrailingPathDelimiter(runtime::PreparePathName(target, kSysnativeFolder))
                            : std::string(kSysnativeFolder);
        APaths.push_back(std::move(alias));
      }
      any = true;
    }
    restore.Done = true;
    return any;
  });
  return found;
}

}  // namespace quillmark
