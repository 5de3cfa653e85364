// Result interfaces of the individual rules. Each extends IMalwareRuleResult
// with getters of the rule's own fields; a host obtains one by querying a rule
// result (IMalwareHeuristicResult::GetRules, IMalwareRule::GetResult) for its
// GUID.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "quillmark/malware_heuristic.h"

namespace quillmark {

// Signed-file rule (mhRuleSignedFile).
struct IMalwareRuleResultSignedFile : IMalwareRuleResult {
  static constexpr GUID IID{0xA8FFC88D, 0x1A8F, 0x4A30, {0xAF, 0x5E, 0xF6, 0x7D, 0x73, 0x10, 0xCC, 0xF9}};
  // Simple display name of the signing certificate's subject; empty unless
  // the latest analysis found a trusted signature.
  virtual std::string GetSignerName() = 0;
  // Serial number of the signing certificate, upper-case hexadecimal, most
  // significant byte first; empty unless the signature was trusted.
  virtual std::string GetSerialNumber() = 0;
  // Simple display name of the signing certificate's issuer; empty unless the
  // signature was trusted.
  virtual std::string GetIssuerName() = 0;
  // The signer matched the black list of signers.
  virtual bool GetInBlacklist() = 0;

 protected:
  ~IMalwareRuleResultSignedFile() = default;
};

// Entropy rule (mhRuleEntropy).
struct IMalwareRuleResultEntropy : IMalwareRuleResult {
  static constexpr GUID IID{0xF8C14F12, 0xDD30, 0x4FBF, {0x95, 0x92, 0x95, 0xDA, 0x1C, 0x42, 0x89, 0x98}};
  // Entropy measured in the latest analysis, bits per byte (0 to 8); 0 when
  // nothing could be measured.
  virtual Extended GetEntropyValue() = 0;

 protected:
  ~IMalwareRuleResultEntropy() = default;
};

// Folder category of a file, as the suspicious-path rule reports it.
enum class TSuspiciousPathResultFolder : std::uint32_t {
  sprFolderUnknown = 0,
  sprFolderTemp = 1,
  sprFolderWindows = 2,
  sprFolderRecycleBin = 3,
  sprFolderProfile = 4,
  sprFolderRootDrive = 5,
};
// Declared identifier of a folder category ("sprFolderTemp"); empty for an
// unknown value.
QUILLMARK_API const char* SuspiciousPathFolderIdentifier(TSuspiciousPathResultFolder v);

// Suspicious-path rule (mhRuleSuspiciousPath).
struct IMalwareRuleResultSuspiciousPath : IMalwareRuleResult {
  static constexpr GUID IID{0xC51AE1CB, 0x914A, 0x418C, {0x8D, 0xB2, 0x9C, 0xB3, 0x43, 0xAE, 0x30, 0xFC}};
  // Category of the folder the file lies in; sprFolderUnknown when none matched.
  virtual TSuspiciousPathResultFolder GetFolderType() = 0;
  // The matched folder of the rule's table, with its trailing delimiter; empty
  // when none matched.
  virtual std::string GetFolder() = 0;

 protected:
  ~IMalwareRuleResultSuspiciousPath() = default;
};

// Double-extension rule (mhRuleDoubleExtension).
struct IMalwareRuleResultDoubleExtension : IMalwareRuleResult {
  static constexpr GUID IID{0xB14A69AB, 0x4C91, 0x4AA3, {0xBA, 0xBD, 0x34, 0xDB, 0xF1, 0x35, 0x6D, 0xDA}};
  // The decoy extension in front of the real one, lower-cased, with its dot
  // (".pdf"); empty when none was found.
  virtual std::string GetSecondExt() = 0;
  // Icon index of the decoy extension; -1 when it has no icon of its own or
  // the lookup failed.
  virtual std::int32_t GetSecondExtImageIndex() = 0;
  // The file name without the decoy extension ("invoice.exe"); empty when the
  // rule found nothing.
  virtual std::string GetNameWithoutSecondExt() = 0;

 protected:
  ~IMalwareRuleResultDoubleExtension() = default;
};

// What the dangerous-file-name rule found.
enum class TDangerousFileNameCause : std::uint32_t {
  dfcManyGaps = 0,     // a run of four spaces
  dfcPEEmptyName = 1,  // a name that is nothing but an extension
};
// Set of TDangerousFileNameCause: bit n for value n.
using TDangerousFileNameCauses = std::uint8_t;
constexpr TDangerousFileNameCauses DangerousFileNameCauseBit(TDangerousFileNameCause c) {
  return static_cast<TDangerousFileNameCauses>(1u << static_cast<std::uint32_t>(c));
}
// Declared identifier of a cause ("dfcManyGaps"); empty for an unknown value.
QUILLMARK_API const char* DangerousFileNameCauseIdentifier(TDangerousFileNameCause c);

// Dangerous-file-name rule (mhRuleDangerousFileName).
struct IMalwareRuleResultDangerousFileName : IMalwareRuleResult {
  static constexpr GUID IID{0x23BC93F2, 0x47AA, 0x407B, {0xBF, 0x44, 0xB0, 0x63, 0xF3, 0x42, 0xAD, 0xFD}};
  virtual TDangerousFileNameCauses GetCauses() = 0;

 protected:
  ~IMalwareRuleResultDangerousFileName() = default;
};

// No-company-info rule (mhRuleNoCompanyInfo).
struct IMalwareRuleResultNoCompanyInfo : IMalwareRuleResult {
  static constexpr GUID IID{0x66D83987, 0x6F0D, 0x4F42, {0x8F, 0x87, 0xD7, 0xCF, 0x0F, 0x71, 0xF3, 0x66}};
  // The file's company name matched the black list in the latest analysis.
  virtual bool GetInBlacklist() = 0;

 protected:
  ~IMalwareRuleResultNoCompanyInfo() = default;
};

// Harmony-name rule (mhRuleHarmonyName).
struct IMalwareRuleResultHarmonyName : IMalwareRuleResult {
  static constexpr GUID IID{0x7C465F59, 0x64C0, 0x472B, {0x85, 0xD1, 0xCB, 0x52, 0x40, 0x5F, 0x68, 0xC3}};
  // Harmony of the file's stem over letter pairs and triples: the sum of its
  // n-gram scores and their average (2 or less reads as random); 0 when the
  // model did not run.
  virtual Extended GetTotalFactor() = 0;
  virtual Extended GetAverageFactor() = 0;
  // The stem was a GUID and scored as one (50).
  virtual bool GetIsGuid() = 0;

 protected:
  ~IMalwareRuleResultHarmonyName() = default;
};

// Incorrect-file-location rule (mhRuleIncorrectFileLocation).
struct IMalwareRuleResultIncorrectFileLocation : IMalwareRuleResult {
  static constexpr GUID IID{0x4F51AC74, 0x1CBE, 0x498D, {0x84, 0x1D, 0x62, 0xB2, 0x55, 0x67, 0x17, 0x9B}};
  // Every folder where a file of this name legitimately lives, in catalogue
  // order; empty unless the file lay outside all of them.
  virtual const std::vector<std::string>& GetPaths() = 0;

 protected:
  ~IMalwareRuleResultIncorrectFileLocation() = default;
};

// One TCP connection of a running target, as the open-network-ports rule
// records it (21 bytes, packed).
#pragma pack(push, 1)
struct TRuleProcessPortInfo {
  // MIB_TCP_STATE number: 2 listen, 5 established ... 12 delete-TCB.
  std::uint32_t State;
  // Ports in host byte order (0 to 65535).
  std::uint32_t LocalPort;
  // IPv4 addresses as the platform stores them: first octet in the least
  // significant byte (127.0.0.1 is 0x0100007F).
  std::uint32_t LocalIPAddr;
  std::uint32_t RemotePort;
  std::uint32_t RemoteIPAddr;
  // The remote address lies in a black-listed network range.
  bool RemoteIPInBlackList;
};
#pragma pack(pop)
static_assert(sizeof(TRuleProcessPortInfo) == 21);

// Open-network-ports rule (mhRuleOpenNetworkPorts).
struct IMalwareRuleResultOpenNetworkPorts : IMalwareRuleResult {
  static constexpr GUID IID{0x97CC660D, 0xE858, 0x45CA, {0x93, 0xB0, 0x82, 0x01, 0xAF, 0x0D, 0x98, 0x83}};
  // The connections of the running target found in the latest analysis, in
  // table order; owned by the result and valid while it lives.
  virtual const std::vector<TRuleProcessPortInfo>& GetPorts() = 0;

 protected:
  ~IMalwareRuleResultOpenNetworkPorts() = default;
};

}  // namespace quillmark
