// dcjctl's look inside FSN files: `dcjctl fsn` and `download --check`.
#pragma once

#include <string>
#include <vector>

#include "dcjfsn/Fsn.h"

namespace dcjctl {

enum class FsnFormat { Plain, Json, Csv };

struct FsnShow {
    FsnFormat format = FsnFormat::Plain;
    std::string imagesDir;  // one PNG per record; "-" draws them in text (plain only)
};

struct NamedFsn {
    std::string name;
    dcjfsn::File file;
};

// Reads each path; a file that cannot be read is one with that problem.
std::vector<NamedFsn> ReadFsnFiles(const std::vector<std::string>& paths);

// Prints files in the chosen form (and their images); true when every file
// read cleanly and every image could be written.
bool ShowFsn(const std::vector<NamedFsn>& files, const FsnShow& show);

// After a download: one line per file and the summary on stdout (unless
// quiet), each problem on stderr. True when every file read cleanly.
bool CheckFsn(const std::vector<NamedFsn>& files, bool quiet);

// The FSN files (by name, case-insensitively) inside a zip archive,
// unpacked with unzip into a fresh folder under tmpRoot that is removed
// before it returns. False with error set when unzip fails.
bool ReadFsnInZip(const std::string& zip, std::vector<NamedFsn>* files, std::string* error);

// False when this build cannot write PNG files.
bool PngSupported();
// Writes one PNG of the record's serial-number characters side by side.
bool WriteSerialPng(const std::string& path, const dcjfsn::Image& image, std::string* error);
// The characters drawn with '#' and '.', one text line per pixel row.
std::string DrawSerialText(const dcjfsn::Image& image);

}  // namespace dcjctl
