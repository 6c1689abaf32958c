// Field meanings and comparisons.
#include <stdio.h>

#include "dcjfsn/Fsn.h"

namespace dcjfsn {

bool Header::operator==(const Header& o) const
{
    return headStart == o.headStart && headString == o.headString && headDataTypeFlag == o.headDataTypeFlag &&
           counter == o.counter && finanIns == o.finanIns && enableTime == o.enableTime &&
           machineSNo == o.machineSNo && machineType == o.machineType && machineModel == o.machineModel &&
           hardVerNo == o.hardVerNo && authSoftVerNo == o.authSoftVerNo && applidenom == o.applidenom &&
           finanInst == o.finanInst && finanInstOutlet == o.finanInstOutlet && operatorNo == o.operatorNo &&
           reserve1 == o.reserve1 && headEnd == o.headEnd;
}

bool Image::operator==(const Image& o) const
{
    return num == o.num && height == o.height && width == o.width && reserved == o.reserved && chars == o.chars;
}

bool Image::Pixel(size_t c, size_t x, size_t y) const
{
    if (c >= kImageChars || x >= kImageColumns || y >= kImageColumns) return false;
    return (chars[c][x] >> (31 - y)) & 1u;
}

bool Record::operator==(const Record& o) const
{
    return date == o.date && time == o.time && tfFlag == o.tfFlag && errorCode == o.errorCode &&
           moneyFlag == o.moneyFlag && ver == o.ver && valuta == o.valuta && charNum == o.charNum && sNo == o.sNo &&
           machineSNo == o.machineSNo && reserve1 == o.reserve1 && reserved2018 == o.reserved2018 &&
           hasImage == o.hasImage && (!hasImage || image == o.image);
}

std::string TimeText(uint16_t date, uint16_t time)
{
    char text[32];
    snprintf(text, sizeof(text), "%04d-%02d-%02d %02d:%02d:%02d", 1980 + (date >> 9), (date >> 5) & 0x0F,
             date & 0x1F, time >> 11, (time >> 5) & 0x3F, (time & 0x1F) * 2);
    return text;
}

uint16_t PackDate(int year, int month, int day)
{
    return static_cast<uint16_t>(((year - 1980) & 0x7F) << 9 | (month & 0x0F) << 5 | (day & 0x1F));
}

uint16_t PackTime(int hour, int minute, int second)
{
    return static_cast<uint16_t>((hour & 0x1F) << 11 | (minute & 0x3F) << 5 | ((second / 2) & 0x1F));
}

std::string AuthenticityText(uint16_t tfFlag)
{
    static const char* const kNames[] = {"suspect", "genuine", "damaged", "old"};
    if (tfFlag < 4) return kNames[tfFlag];
    return "unknown(" + std::to_string(tfFlag) + ")";
}

std::string EditionText(uint16_t ver)
{
    static const char* const kYears[] = {"1990", "1999", "2005", "2015", "2019", "2020"};
    if (ver < 6) return kYears[ver];
    if (ver == 9999) return "unknown";
    return std::to_string(ver);
}

std::string TextOf(const uint16_t* units, size_t count)
{
    std::string out;
    for (size_t i = 0; i < count && units[i] != 0; ++i) {
        uint32_t cp = units[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < count && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (units[++i] - 0xDC00);
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD;
        }
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    return out;
}

}  // namespace dcjfsn
