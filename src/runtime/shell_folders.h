// Shell folder numbers (CSIDL values) a target system answers in
// GetSpecialFolder: the numbers Windows gives them, so that a Windows target
// can hand them to its own shell and a stored number keeps its meaning.
#pragma once

namespace quillmark::runtime::csidl {

inline constexpr int kAppData = 0x001A;        // roaming application data
inline constexpr int kLocalAppData = 0x001C;   // local (non-roaming) application data
inline constexpr int kInternetCache = 0x0020;  // temporary Internet files
inline constexpr int kProfile = 0x0028;        // the user's profile folder

}  // namespace quillmark::runtime::csidl
