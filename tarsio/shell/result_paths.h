// Where the station keeps its results, and the small file helpers that
// write them.  Result files, raw-frame bitmaps and bad-pixel reports all
// live under the program's own directory (the directory of the running
// executable), whatever the current directory was when it started.
#pragma once

#include <string>

namespace tarsio::shell {

// The directory of the running executable, without a trailing '/'.  Empty
// when it cannot be read; the paths below then become relative paths.
std::string program_dir();

// Tests point the result base at a directory of their own; an empty text
// restores the executable's directory.
void set_program_dir_for_testing(const std::string& dir);

// program_dir() + "/TestResult" + suffix (suffix starts with '/' or is empty).
std::string result_path(const std::string& suffix = "");

// Creates the directory and every missing parent.  True when it exists
// afterwards.
bool ensure_directory(const std::string& path);

// Replaces the file with the bytes (truncate) or appends them.  The texts
// are stored as given: a "\r\n" stays CR LF and a bare "\n" stays LF.
bool write_text_file(const std::string& path, const std::string& text);
bool append_text_file(const std::string& path, const std::string& text);

// Replaces the file as a whole: the bytes go to a temporary file in the same
// folder, which is flushed to the disk and renamed over the file.  A reader
// sees the old file or the complete new one, never a part.  When the new
// file cannot be written completely the temporary file is removed and so is
// the old file: no file of that name is left to be taken for this write.
// False then, with errno set by the first failure.
bool replace_file(const std::string& path, const std::string& text);

}  // namespace tarsio::shell
