// Reading a whole file that the system keeps (settings, programs, include files) without
// surprises: only a regular file is read, so a folder, a FIFO or a device is refused at once
// instead of reading as nothing, blocking the reader or reading without end; and a file longer
// than the caller's limit is refused without being read to its end.
#pragma once

#include <cstddef>
#include <string>
#include <system_error>

namespace platform {

// The refusals of ReadWholeFile besides the system's own errors.
enum class FileReadError { NotRegular = 1, TooLarge };
const std::error_category& FileReadCategory();
std::error_code make_error_code(FileReadError error);

// The whole file into `bytes`. On failure `bytes` is empty and the error says why: the
// system's error of stat, open or read, NotRegular, or TooLarge for more than `limit` bytes.
std::error_code ReadWholeFile(const std::string& path, size_t limit, std::string& bytes);

}  // namespace platform

namespace std {
template <>
struct is_error_code_enum<platform::FileReadError> : true_type {};
}  // namespace std
