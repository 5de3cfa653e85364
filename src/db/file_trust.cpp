#include "db/file_trust.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>

#include "quillmark/host_services.h"
#include "support/exceptions.h"
#include "support/text_utils.h"

namespace quillmark {

namespace {

struct TFreeStoreCtx { void operator()(X509_STORE_CTX* p) const { X509_STORE_CTX_free(p); } };
struct TFreeX509Stack { void operator()(STACK_OF(X509)* p) const { sk_X509_free(p); } };  // borrowed members

// --- certificate chains -----------------------------------------------------------------

struct TChainState {
  bool Expired = false;
};

// Validity-period failures are noted and passed over, so that any other
// fault of the chain wins over an expired certificate.
int ChainCallback(int ok, X509_STORE_CTX* ctx) {
  if (ok) return ok;
  int err = X509_STORE_CTX_get_error(ctx);
  if (err == X509_V_ERR_CERT_HAS_EXPIRED || err == X509_V_ERR_CERT_NOT_YET_VALID) {
    if (auto* state = static_cast<TChainState*>(X509_STORE_CTX_get_ex_data(ctx, 0))) state->Expired = true;
    return 1;
  }
  return 0;
}

HRESULT MapChainError(int err) {
  switch (err) {
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_CERT_UNTRUSTED:
    case X509_V_ERR_CERT_REJECTED:
      return CERT_E_UNTRUSTEDROOT;
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_CERT_CHAIN_TOO_LONG:
      return CERT_E_CHAINING;
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_CERT_NOT_YET_VALID:
      return CERT_E_EXPIRED;
    case X509_V_ERR_CERT_SIGNATURE_FAILURE:
    case X509_V_ERR_UNABLE_TO_DECRYPT_CERT_SIGNATURE:
    case X509_V_ERR_UNABLE_TO_DECODE_ISSUER_PUBLIC_KEY:
      return TRUST_E_CERT_SIGNATURE;
    case X509_V_ERR_INVALID_CA:
    case X509_V_ERR_PATH_LENGTH_EXCEEDED:
      return TRUST_E_BASIC_CONSTRAINTS;
    case X509_V_ERR_INVALID_PURPOSE:
    case X509_V_ERR_KEYUSAGE_NO_CERTSIGN:
      return CERT_E_WRONG_USAGE;
    case X509_V_ERR_CERT_REVOKED:
      return CERT_E_REVOKED;
    default:
      return TRUST_E_FAIL;
  }
}

// Builds the chain of leaf to an anchor of store, judging validity at time.
// Answers 0, CERT_E_EXPIRED when the only fault is a validity period, or the
// code of the fault.
HRESULT VerifyChain(X509_STORE* store, X509* leaf, STACK_OF(X509)* untrusted, std::int64_t at) {
  std::unique_ptr<X509_STORE_CTX, TFreeStoreCtx> ctx(X509_STORE_CTX_new());
  if (!ctx || !store || X509_STORE_CTX_init(ctx.get(), store, leaf, untrusted) != 1) return TRUST_E_FAIL;
  X509_VERIFY_PARAM_set_time(X509_STORE_CTX_get0_param(ctx.get()), static_cast<time_t>(at));
  TChainState state;
  X509_STORE_CTX_set_ex_data(ctx.get(), 0, &state);
  X509_STORE_CTX_set_verify_cb(ctx.get(), ChainCallback);
  if (X509_verify_cert(ctx.get()) != 1) return MapChainError(X509_STORE_CTX_get_error(ctx.get()));
  return state.Expired ? CERT_E_EXPIRED : 0;
}


bool SameDigest(std::span<const std::uint8_t> a, const std::vector<std::uint8_t>& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
}

std::string Bytes(std::uint64_t n) { return std::to_string(n) + " bytes"; }

}  // namespace

// --- TTrustStore ------------------------------------------------------------------------------------

TTrustStore::TTrustStore() : FStore(X509_STORE_new()) {
  if (!FStore) throw Exception("X509_STORE_new failed");
}

TTrustStore::~TTrustStore() { X509_STORE_free(FStore); }

X509_STORE* TTrustStore::Store() const {
  if (FSystemBundleDeferred)
    std::call_once(FSystemBundleOnce, [this] { const_cast<TTrustStore*>(this)->AddSystemBundle(); });
  return FStore;
}

std::size_t TTrustStore::AddPEMOrDER(const std::vector<std::uint8_t>& ABytes) {
  if (ABytes.empty() || ABytes.size() > static_cast<std::size_t>(INT32_MAX)) return 0;
  std::size_t added = 0;
  auto add = [&](X509* cert) {
    if (!cert) return;
    if (X509_STORE_add_cert(FStore, cert) == 1) ++added;
    X509_free(cert);
  };
  if (BIO* bio = BIO_new_mem_buf(ABytes.data(), static_cast<int>(ABytes.size()))) {
    while (X509* cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr)) add(cert);
    BIO_free(bio);
  }
  if (added == 0) {
    const unsigned char* p = ABytes.data();
    add(d2i_X509(nullptr, &p, static_cast<long>(ABytes.size())));
  }
  ERR_clear_error();
  FCount += added;
  return added;
}

std::size_t TTrustStore::AddFile(const std::string& AFileName, bool AReport) {
  // The live host opens regular files only, and never waits on a FIFO.
  std::vector<std::uint8_t> bytes;
  try {
    auto file = runtime::LiveHost()->OpenFileForRead(AFileName);
    if (file->Size() > kMaxCertificateFileSize)
      throw runtime::EOSError(EFBIG, AFileName, "larger than " + Bytes(kMaxCertificateFileSize));
    bytes.resize(static_cast<std::size_t>(file->Size()));
    bytes.resize(file->ReadAt(0, bytes.data(), bytes.size()));
  } catch (const runtime::EOSError& e) {
    if (AReport) FProblems.push_back({AFileName, e.Reason()});
    return 0;
  } catch (const std::exception& e) {
    if (AReport) FProblems.push_back({AFileName, e.what()});
    return 0;
  }
  std::size_t added = AddPEMOrDER(bytes);
  if (added == 0 && AReport) FProblems.push_back({AFileName, "holds no certificate"});
  return added;
}

std::size_t TTrustStore::AddCAFile(const std::string& AFileName) {
  if (AFileName.empty()) return 0;
  return AddFile(AFileName, true);
}

std::size_t TTrustStore::AddSystemBundle() {
  std::vector<std::string> candidates;
  if (std::string env = runtime::LiveHost()->EnvironmentVariable(X509_get_default_cert_file_env()); !env.empty())
    candidates.push_back(std::move(env));
  for (std::string& bundle : runtime::HostCertificateBundles()) candidates.push_back(std::move(bundle));
  candidates.emplace_back(X509_get_default_cert_file());
  for (const auto& name : candidates)
    if (std::size_t n = AddFile(name, false)) return n;
  // No bundle file: let OpenSSL look up its hashed certificate folder.
  if (!FDefaultPaths && X509_STORE_set_default_paths(FStore) == 1) FDefaultPaths = true;
  ERR_clear_error();
  return 0;
}

std::size_t TTrustStore::AddTrustFolder(const std::string& AFolder) {
  std::size_t added = 0;
  if (AFolder.empty()) return 0;
  const std::string prefix = AFolder.back() == '/' ? AFolder : AFolder + "/";
  std::vector<std::string> files;
  for (const auto& e : runtime::LiveHost()->ListDirectory(AFolder)) {
    auto dot = e.Name.rfind('.');
    const std::string ext = dot == std::string::npos ? std::string() : LowerCase(e.Name.substr(dot));
    if (!e.IsDirectory && (ext == ".pem" || ext == ".crt" || ext == ".cer")) files.push_back(prefix + e.Name);
  }
  std::sort(files.begin(), files.end());
  for (const auto& f : files) added += AddFile(f, true);
  return added;
}

std::shared_ptr<const TTrustStore> TTrustStore::Shared(const std::string& ATrustFolder,
                                                       const std::vector<std::string>& ACAFiles) {
  static std::mutex lock;
  static std::map<std::pair<std::string, std::vector<std::string>>, std::shared_ptr<const TTrustStore>> stores;
  std::lock_guard<std::mutex> guard(lock);
  auto& slot = stores[{ATrustFolder, ACAFiles}];
  if (!slot) {
    auto store = std::make_shared<TTrustStore>();
    store->AddSystemBundleOnFirstUse();
    store->AddTrustFolder(ATrustFolder);
    for (const auto& f : ACAFiles) store->AddCAFile(f);
    slot = std::move(store);
  }
  return slot;
}

// --- TFileTrust -------------------------------------------------------------------------------------

TFileTrust::TFileTrust(std::shared_ptr<runtime::ITargetSystem> ATarget, std::shared_ptr<const TTrustStore> AStore)
    : FTarget(ATarget ? std::move(ATarget) : runtime::LiveHost()),
      FStore(AStore ? std::move(AStore) : TTrustStore::Shared()) {}

TFileTrust::TFileTrust(const std::string& AFile, bool AGetExtendedInfo, std::shared_ptr<runtime::ITargetSystem> ATarget,
                       std::shared_ptr<const TTrustStore> AStore)
    : TFileTrust(std::move(ATarget), std::move(AStore)) {
  Check(AFile, AGetExtendedInfo);
}

void TFileTrust::SetTrustStore(std::shared_ptr<const TTrustStore> AStore) {
  FStore = AStore ? std::move(AStore) : TTrustStore::Shared();
}

void TFileTrust::Clear(const std::string& AFileName) {
  FFileName = AFileName;
  FErrorCode = TRUST_E_NOSIGNATURE;
  FIsFileAviable = false;
  FTimestampTime = 0;
  FReason.clear();
  FUncoveredTableBytes = 0;
  FExtraCertificateEntries = 0;
  FSerialNumber.clear();
  FIssuerName.clear();
  FSignerName.clear();
  FThumbprint.clear();
}

bool TFileTrust::Check(const std::string& AFile, bool AGetExtendedInfo) {
  Clear(AFile);
  if (AFile.empty()) return false;
  std::unique_ptr<runtime::IReadOnlyFile> file;
  try {
    file = FTarget->OpenFileForRead(AFile);
  } catch (const std::exception&) {
    return false;
  }
  if (!file) return false;
  return Check(*file, AFile, AGetExtendedInfo);
}

bool TFileTrust::Check(runtime::IReadOnlyFile& AFile, const std::string& AFileName, bool AGetExtendedInfo) {
  Clear(AFileName);
  FIsFileAviable = true;
  TX509Ptr signer;
  try {
    FErrorCode = Verify(AFile, signer);
  } catch (const std::exception& e) {
    FErrorCode = TRUST_E_FAIL;
    FReason = std::string("the file could not be read: ") + e.what();
  }
  if (AGetExtendedInfo && FErrorCode != TRUST_E_NOSIGNATURE && signer) {
    try {
      TCertificateTexts texts = CertificateTexts(signer.get());
      FSerialNumber = std::move(texts.SerialNumber);
      FIssuerName = std::move(texts.IssuerName);
      FSignerName = std::move(texts.SignerName);
      FThumbprint = std::move(texts.Thumbprint);
    } catch (const std::exception&) {
      // the fields stay empty
    }
  }
  ERR_clear_error();
  return IsTrustVerify();
}

HRESULT TFileTrust::Verify(runtime::IReadOnlyFile& AFile, TX509Ptr& ASigner) {
  const TReadAt read = [&AFile](std::uint64_t offset, void* buffer, std::size_t n) {
    return AFile.ReadAt(offset, buffer, n);
  };
  const std::uint64_t size = AFile.Size();
  const TAuthenticodeLayout layout = LocateCertificateTable(read, size);
  if (layout.Code != 0) return layout.Code;
  if (size > FHashLimit) {
    FReason = "the file holds " + Bytes(size) + ", more than the limit of " + Bytes(FHashLimit);
    return ERROR_FILE_TOO_LARGE_HRESULT;
  }

  // The first WIN_CERTIFICATE holds the primary signature.
  const TCertificateTable table = ReadCertificateTable(read, layout.TableOffset, layout.TableSize);
  if (table.Code == ERROR_FILE_TOO_LARGE_HRESULT) {
    FReason = "the signature entry holds " + Bytes(table.Entries.front().Length) + ", more than the " +
              Bytes(TCertificateTable::kMaxSignatureSize) + " read";
    return table.Code;
  }
  if (table.Code != 0) return table.Code;
  const TAuthenticodeSignature signature = ParseAuthenticodeSignature(table.Signature());
  if (signature.Code == TRUST_E_NOSIGNATURE) return signature.Code;

  // From here on a signature exists; faults are failures of it.
  FUncoveredTableBytes = table.UncoveredBytes(signature.EncodedLength);
  FExtraCertificateEntries = table.ExtraEntries();
  if (signature.SignerCertificate) {
    X509_up_ref(signature.SignerCertificate);
    ASigner.reset(signature.SignerCertificate);
  }
  if (signature.Code != 0) return signature.Code;
  if (HRESULT rc = VerifySignerInfo(signature.SignerInfo, signature.SignerCertificate, signature.IndirectContent))
    return rc;
  if (!signature.DigestAlgorithm) return TRUST_E_FAIL;

  // A sparse file's trailing hole is not hashed.
  const auto ranges = layout.HashedRanges();
  const std::uint64_t dataEnd = std::min(AFile.DataEnd(), size);
  std::uint64_t inHole = 0;
  for (const TByteRange& r : ranges)
    if (r.To > dataEnd) inHole += r.To - std::max(r.From, dataEnd);
  if (inHole > kMaxTrailingHole) {
    FReason = "the image digest runs " + Bytes(inHole) + " into the hole at the end of the sparse file, more than " +
              Bytes(kMaxTrailingHole);
    return ERROR_FILE_TOO_LARGE_HRESULT;
  }

  FBuffer.resize(kReadBufferSize);
  std::vector<std::uint8_t> digest;
  if (!DigestRanges(read, ranges, signature.DigestAlgorithm, FBuffer, digest)) {
    FReason = "the file ended before the bytes to hash: it changed while read";
    return TRUST_E_FAIL;
  }
  if (!SameDigest(signature.ImageDigest, digest)) return TRUST_E_BAD_DIGEST;

  // Validity is judged at the time of the first timestamp whose authority
  // chains to a trusted root, otherwise now.
  std::int64_t at = FVerificationTime ? FVerificationTime : static_cast<std::int64_t>(std::time(nullptr));
  for (const TTimestampCandidate& c : TimestampCandidates(signature)) {
    std::unique_ptr<STACK_OF(X509), TFreeX509Stack> untrusted(sk_X509_new_null());
    for (const TX509Ptr& cert : c.Certificates)
      if (untrusted) sk_X509_push(untrusted.get(), cert.get());
    if (VerifyChain(FStore->Store(), c.Authority.get(), untrusted.get(), c.Time) == 0) {
      at = FTimestampTime = c.Time;
      break;
    }
  }

  HRESULT code = VerifyChain(FStore->Store(), signature.SignerCertificate, signature.Certificates(), at);
  if ((code == 0 || code == CERT_E_EXPIRED) && !AllowsUsage(signature.SignerCertificate, XKU_CODE_SIGN))
    code = CERT_E_WRONG_USAGE;
  return code;
}

// --- outcome names ------------------------------------------------------------------------------

const char* TrustResultName(HRESULT ACode) {
  switch (static_cast<std::uint32_t>(ACode)) {
    case 0: return "S_OK";
    case 0x800B0003: return "TRUST_E_SUBJECT_FORM_UNKNOWN";
    case 0x800B0100: return "TRUST_E_NOSIGNATURE";
    case 0x800B0101: return "CERT_E_EXPIRED";
    case 0x800B0109: return "CERT_E_UNTRUSTEDROOT";
    case 0x800B010A: return "CERT_E_CHAINING";
    case 0x800B010B: return "TRUST_E_FAIL";
    case 0x800B010C: return "CERT_E_REVOKED";
    case 0x800B010E: return "CERT_E_REVOCATION_FAILURE";
    case 0x800B0110: return "CERT_E_WRONG_USAGE";
    case 0x80096002: return "TRUST_E_NO_SIGNER_CERT";
    case 0x80096004: return "TRUST_E_CERT_SIGNATURE";
    case 0x80096010: return "TRUST_E_BAD_DIGEST";
    case 0x80096019: return "TRUST_E_BASIC_CONSTRAINTS";
    case 0x80090006: return "NTE_BAD_SIGNATURE";
    case 0x800700DF: return "ERROR_FILE_TOO_LARGE";
    default: return "";
  }
}

std::string TrustResultHex(HRESULT ACode) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(static_cast<std::uint32_t>(ACode)));
  return buf;
}

}  // namespace quillmark
