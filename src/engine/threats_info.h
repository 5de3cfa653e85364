// The threat-name database: names and severities of threat identifiers.
#pragma once

#include <cstdint>

#include "db/malware_common_classes.h"
#include "quillmark/malware_heuristic.h"

namespace quillmark {

// Expects a table threatid(id integer, severity integer, name text stored
// scrambled).
class TMalwareDataBaseThreatsInfo : public TCustomSqlLiteDataBase {
 public:
  const char* ClassName() const override { return "TMalwareDataBaseThreatsInfo"; }
  // Registers "CryptEncodeString" and "CryptDecodeString" on a new connection.
  void RegisterFunctions() override;
  // Fills AInfo with the decoded name and the low 8 bits of the severity of
  // the identifier's row; false (AInfo untouched) for an unknown identifier,
  // without a connection, and when the query fails (the failure is recorded,
  // see TakeQueryProblems).
  bool GetMalwareThreatInfo(std::int32_t AMalwareID, TMalwareThreatInfo* AInfo);

 protected:
  std::vector<TRequiredStatement> RequiredStatements() const override;
};

}  // namespace quillmark
