// Compiled with mingw-w64 by check_windows_headers.cmake, never run: the
// constants our headers define themselves away from Windows, and the PE and
// resource constants they name apart from the SDK's macros, have the SDK's
// values.
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "support/file_version_info.h"
#include "support/pe_image.h"
#include "support/pe_resources.h"

namespace {
using namespace quillmark;

static_assert(pe::DOS_SIGNATURE == IMAGE_DOS_SIGNATURE);
static_assert(pe::NT_SIGNATURE == IMAGE_NT_SIGNATURE);
static_assert(pe::NT_OPTIONAL_HDR32_MAGIC == IMAGE_NT_OPTIONAL_HDR32_MAGIC);
static_assert(pe::NT_OPTIONAL_HDR64_MAGIC == IMAGE_NT_OPTIONAL_HDR64_MAGIC);
static_assert(pe::SIZEOF_DOS_HEADER == sizeof(IMAGE_DOS_HEADER));
static_assert(pe::SIZEOF_FILE_HEADER == IMAGE_SIZEOF_FILE_HEADER);
static_assert(pe::SIZEOF_SECTION_HEADER == IMAGE_SIZEOF_SECTION_HEADER);
static_assert(pe::SIZEOF_SHORT_NAME == IMAGE_SIZEOF_SHORT_NAME);
static_assert(pe::NUMBEROF_DIRECTORY_ENTRIES == IMAGE_NUMBEROF_DIRECTORY_ENTRIES);
static_assert(pe::SIZEOF_NT_OPTIONAL32_FIXED == offsetof(IMAGE_OPTIONAL_HEADER32, DataDirectory));
static_assert(pe::SIZEOF_NT_OPTIONAL64_FIXED == offsetof(IMAGE_OPTIONAL_HEADER64, DataDirectory));
static_assert(pe::SIZEOF_NT_OPTIONAL32_HEADER == sizeof(IMAGE_OPTIONAL_HEADER32));
static_assert(pe::SIZEOF_NT_OPTIONAL64_HEADER == sizeof(IMAGE_OPTIONAL_HEADER64));
static_assert(pe::DIRECTORY_ENTRY_EXPORT == IMAGE_DIRECTORY_ENTRY_EXPORT);
static_assert(pe::DIRECTORY_ENTRY_IMPORT == IMAGE_DIRECTORY_ENTRY_IMPORT);
static_assert(pe::DIRECTORY_ENTRY_RESOURCE == IMAGE_DIRECTORY_ENTRY_RESOURCE);
static_assert(pe::DIRECTORY_ENTRY_EXCEPTION == IMAGE_DIRECTORY_ENTRY_EXCEPTION);
static_assert(pe::DIRECTORY_ENTRY_SECURITY == IMAGE_DIRECTORY_ENTRY_SECURITY);
static_assert(pe::DIRECTORY_ENTRY_BASERELOC == IMAGE_DIRECTORY_ENTRY_BASERELOC);
static_assert(pe::DIRECTORY_ENTRY_DEBUG == IMAGE_DIRECTORY_ENTRY_DEBUG);
static_assert(pe::DIRECTORY_ENTRY_ARCHITECTURE == IMAGE_DIRECTORY_ENTRY_ARCHITECTURE);
static_assert(pe::DIRECTORY_ENTRY_GLOBALPTR == IMAGE_DIRECTORY_ENTRY_GLOBALPTR);
static_assert(pe::DIRECTORY_ENTRY_TLS == IMAGE_DIRECTORY_ENTRY_TLS);
static_assert(pe::DIRECTORY_ENTRY_LOAD_CONFIG == IMAGE_DIRECTORY_ENTRY_LOAD_CONFIG);
static_assert(pe::DIRECTORY_ENTRY_BOUND_IMPORT == IMAGE_DIRECTORY_ENTRY_BOUND_IMPORT);
static_assert(pe::DIRECTORY_ENTRY_IAT == IMAGE_DIRECTORY_ENTRY_IAT);
static_assert(pe::DIRECTORY_ENTRY_DELAY_IMPORT == IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT);
static_assert(pe::DIRECTORY_ENTRY_COM_DESCRIPTOR == IMAGE_DIRECTORY_ENTRY_COM_DESCRIPTOR);
static_assert(pe::SCN_CNT_CODE == IMAGE_SCN_CNT_CODE);
static_assert(pe::SCN_CNT_INITIALIZED_DATA == IMAGE_SCN_CNT_INITIALIZED_DATA);
static_assert(pe::SCN_CNT_UNINITIALIZED_DATA == IMAGE_SCN_CNT_UNINITIALIZED_DATA);
static_assert(pe::SCN_MEM_EXECUTE == IMAGE_SCN_MEM_EXECUTE);
static_assert(pe::SCN_MEM_READ == IMAGE_SCN_MEM_READ);
static_assert(pe::SCN_MEM_WRITE == IMAGE_SCN_MEM_WRITE);
static_assert(pe::FILE_EXECUTABLE_IMAGE == IMAGE_FILE_EXECUTABLE_IMAGE);
static_assert(pe::FILE_DLL == IMAGE_FILE_DLL);
static_assert(pe::FILE_MACHINE_I386 == IMAGE_FILE_MACHINE_I386);
static_assert(pe::FILE_MACHINE_AMD64 == IMAGE_FILE_MACHINE_AMD64);
static_assert(pe::SUBSYSTEM_WINDOWS_GUI == IMAGE_SUBSYSTEM_WINDOWS_GUI);
static_assert(pe::SUBSYSTEM_WINDOWS_CUI == IMAGE_SUBSYSTEM_WINDOWS_CUI);
static_assert(pe::SIZEOF_RESOURCE_DIRECTORY == sizeof(IMAGE_RESOURCE_DIRECTORY));
static_assert(pe::SIZEOF_RESOURCE_DIRECTORY_ENTRY == sizeof(IMAGE_RESOURCE_DIRECTORY_ENTRY));
static_assert(pe::SIZEOF_RESOURCE_DATA_ENTRY == sizeof(IMAGE_RESOURCE_DATA_ENTRY));
static_assert(pe::RESOURCE_NAME_IS_STRING == IMAGE_RESOURCE_NAME_IS_STRING);
static_assert(pe::RESOURCE_DATA_IS_DIRECTORY == IMAGE_RESOURCE_DATA_IS_DIRECTORY);

// RT_* are MAKEINTRESOURCE pointers; DIFFERENCE relates the group types to
// their members, and the numbers are those the resource compiler writes.
static_assert(rtGroupCursor == rtCursor + DIFFERENCE);
static_assert(rtGroupIcon == rtIcon + DIFFERENCE);
static_assert(rtCursor == 1 && rtBitmap == 2 && rtIcon == 3 && rtMenu == 4 && rtDialog == 5 && rtString == 6 &&
              rtRcData == 10 && rtVersion == 16 && rtManifest == 24);

static_assert(kLangNeutral == LANG_NEUTRAL);
static_assert(kLangEnglish == LANG_ENGLISH);
static_assert(kFixedFileInfoSignature == VS_FFI_SIGNATURE);
static_assert(kFixedFileInfoSize == sizeof(VS_FIXEDFILEINFO));
static_assert(kVersionInfoId == VS_VERSION_INFO);
}  // namespace

// The status codes away from Windows: the SDK's values are kept, its macros
// put aside, and the headers read as a non-Windows build reads them.
namespace sdk {
constexpr long Codes[] = {S_OK, S_FALSE, E_NOINTERFACE, E_POINTER, E_FAIL, E_INVALIDARG, CLASS_E_CLASSNOTAVAILABLE,
                          TRUST_E_SUBJECT_FORM_UNKNOWN, TRUST_E_NOSIGNATURE, CERT_E_EXPIRED, CERT_E_UNTRUSTEDROOT,
                          CERT_E_CHAINING, TRUST_E_FAIL, CERT_E_REVOKED, CERT_E_REVOCATION_FAILURE, CERT_E_WRONG_USAGE,
                          TRUST_E_NO_SIGNER_CERT, TRUST_E_CERT_SIGNATURE, TRUST_E_BAD_DIGEST,
                          TRUST_E_BASIC_CONSTRAINTS, NTE_BAD_SIGNATURE};
}  // namespace sdk
#undef S_OK
#undef S_FALSE
#undef E_NOINTERFACE
#undef E_POINTER
#undef E_FAIL
#undef E_INVALIDARG
#undef CLASS_E_CLASSNOTAVAILABLE
#undef TRUST_E_SUBJECT_FORM_UNKNOWN
#undef TRUST_E_NOSIGNATURE
#undef CERT_E_EXPIRED
#undef CERT_E_UNTRUSTEDROOT
#undef CERT_E_CHAINING
#undef TRUST_E_FAIL
#undef CERT_E_REVOKED
#undef CERT_E_REVOCATION_FAILURE
#undef CERT_E_WRONG_USAGE
#undef TRUST_E_NO_SIGNER_CERT
#undef TRUST_E_CERT_SIGNATURE
#undef TRUST_E_BAD_DIGEST
#undef TRUST_E_BASIC_CONSTRAINTS
#undef NTE_BAD_SIGNATURE
#pragma push_macro("_WIN32")
#undef _WIN32
#pragma GCC diagnostic ignored "-Wattributes"  // the ELF visibility attribute
#include "db/authenticode.h"
#pragma pop_macro("_WIN32")

namespace {
using namespace quillmark;
constexpr quillmark::HRESULT Ours[] = {S_OK, S_FALSE, E_NOINTERFACE, E_POINTER, E_FAIL, E_INVALIDARG, CLASS_E_CLASSNOTAVAILABLE,
                            TRUST_E_SUBJECT_FORM_UNKNOWN, TRUST_E_NOSIGNATURE, CERT_E_EXPIRED, CERT_E_UNTRUSTEDROOT,
                            CERT_E_CHAINING, TRUST_E_FAIL, CERT_E_REVOKED, CERT_E_REVOCATION_FAILURE, CERT_E_WRONG_USAGE,
                            TRUST_E_NO_SIGNER_CERT, TRUST_E_CERT_SIGNATURE, TRUST_E_BAD_DIGEST,
                            TRUST_E_BASIC_CONSTRAINTS, NTE_BAD_SIGNATURE};
static_assert(sizeof Ours / sizeof Ours[0] == sizeof sdk::Codes / sizeof sdk::Codes[0]);
constexpr bool SameCodes() {
  for (std::size_t i = 0; i < sizeof Ours / sizeof Ours[0]; ++i)
    if (static_cast<long>(Ours[i]) != sdk::Codes[i]) return false;
  return true;
}
static_assert(SameCodes(), "a status code differs from the SDK's value");
}  // namespace
