// Generated FSN files with plausible records: distinct serial numbers,
// denominations with their editions, and serial-number images drawn from a
// small built-in glyph set, so that records can be followed end to end.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "dcjfsn/Fsn.h"
#include "dcjsim/Simulator.h"

namespace dcjsim {

struct FsnContent {
    dcjfsn::Layout layout = dcjfsn::Layout::V2014;
    bool images = true;
    size_t records = 20;  // per file
};

// The records of generated file fileIndex, deterministic from seed. Records
// are stamped from dateTime ("YYYYMMDDhhmmss"; another text stands for
// 2026-12-06 09:05:07), two seconds apart.
dcjfsn::File MakeFsnFile(const FsnContent& content, const std::string& machineNo, const std::string& dateTime,
                         uint32_t seed, size_t fileIndex);

// files FSN files cut into packets of packetSize bytes (the last one shorter),
// named like GenerateFiles' files. contents, if given, receives each file's
// records as generated.
std::vector<FsnFile> GenerateFsnFiles(size_t files, const FsnContent& content, size_t packetSize,
                                      const std::string& machineNo = "QOLTSIM0001",
                                      const std::string& dateTime = "20261206090507", const std::string& sNo = "SN",
                                      uint32_t seed = 1, std::vector<dcjfsn::File>* contents = nullptr);

// Draws text (digits and capital letters; anything else is left blank)
// into an image of the given cell size (at most 32 x 32).
dcjfsn::Image DrawSerial(const std::string& text, uint16_t width, uint16_t height);

}  // namespace dcjsim
