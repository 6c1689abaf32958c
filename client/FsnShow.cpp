// The three forms of `dcjctl fsn`: plain for people, JSON and CSV for
// programs. Texts from the file are UTF-8 (converted from UTF-16).
#include <stdio.h>

#include <map>
#include <utility>

#include "Fsn.h"

namespace dcjctl {

namespace {

using dcjfsn::File;
using dcjfsn::Record;

std::string LayoutText(dcjfsn::Layout layout)
{
    return layout == dcjfsn::Layout::V2014 ? "2014" : layout == dcjfsn::Layout::V2018 ? "2018" : "unknown";
}

// A field of the file as the terminal may show it: control characters (C0,
// DEL, C1) written out as escapes, so a record can neither drive the
// terminal nor fake lines of the listing.
std::string Printable(const std::string& text)
{
    std::string out;
    char escape[8];
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const bool c1 = c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                        static_cast<unsigned char>(text[i + 1]) <= 0x9F;
        if (c < 0x20 || c == 0x7F) {
            snprintf(escape, sizeof escape, "\\x%02X", c);
            out += escape;
        } else if (c1) {
            snprintf(escape, sizeof escape, "\\u%04X", static_cast<unsigned char>(text[++i]));
            out += escape;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::string Errors(const Record& r, const char* sep)
{
    return std::to_string(r.errorCode[0]) + sep + std::to_string(r.errorCode[1]) + sep +
           std::to_string(r.errorCode[2]);
}

// Length of the well-formed UTF-8 sequence at text[at], 0 if there is none.
size_t Utf8Length(const std::string& text, size_t at)
{
    const unsigned char c = static_cast<unsigned char>(text[at]);
    const size_t n = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
    if (n == 0 || text.size() - at < n) return 0;
    uint32_t cp = n == 1 ? c : c & (0x7F >> n);
    for (size_t k = 1; k < n; ++k) {
        const unsigned char t = static_cast<unsigned char>(text[at + k]);
        if ((t & 0xC0) != 0x80) return 0;
        cp = cp << 6 | (t & 0x3F);
    }
    static const uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kMin[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return n;
}

// A JSON string; a byte that is no UTF-8 (a file name may hold any) becomes
// U+FFFD, so the document stays valid.
std::string JsonString(const std::string& text)
{
    std::string out = "\"";
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const size_t n = Utf8Length(text, i);
        if (n == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
            continue;
        }
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char esc[8];
            snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        } else {
            out.append(text, i, n);
        }
        i += n;
    }
    return out + "\"";
}

// A field that holds a comma, quote or line break is quoted.
std::string CsvField(const std::string& text)
{
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string out = "\"";
    for (char c : text) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

void Out(const std::string& text)
{
    fwrite(text.data(), 1, text.size(), stdout);
}

void Problems(const NamedFsn& f)
{
    for (const std::string& p : f.file.problems) {
        fprintf(stderr, "dcjctl: %s: %s\n", Printable(f.name).c_str(), Printable(p).c_str());
    }
}

// Count and value per currency and denomination.
struct Tally {
    std::map<std::pair<std::string, unsigned>, unsigned long long> notes;
    void Add(const File& f)
    {
        for (const Record& r : f.records) ++notes[{dcjfsn::Text(r.moneyFlag), r.valuta}];
    }
    std::string Text(const std::string& indent) const
    {
        std::string out;
        std::map<std::string, std::pair<unsigned long long, unsigned long long>> perCurrency;
        for (const auto& n : notes) {
            const unsigned long long value = n.first.second * n.second;
            char line[256];
            snprintf(line, sizeof line, "%s%-4s %6u x %-6llu = %llu\n", indent.c_str(), Printable(n.first.first).c_str(),
                     n.first.second, n.second, value);
            out += line;
            perCurrency[n.first.first].first += n.second;
            perCurrency[n.first.first].second += value;
        }
        for (const auto& c : perCurrency) {
            out += indent + "total " + Printable(c.first) + ": " + std::to_string(c.second.first) + " notes, " +
                   std::to_string(c.second.second) + "\n";
        }
        if (notes.empty()) out += indent + "no records\n";
        return out;
    }
};

std::string RecordLine(const Record& r)
{
    char line[512];
    snprintf(line, sizeof line, "  %s  %-8s %-4s %-7s %5u  %-12s errors %s\n", dcjfsn::TimeText(r.date, r.time).c_str(),
             dcjfsn::AuthenticityText(r.tfFlag).c_str(), Printable(dcjfsn::Text(r.moneyFlag)).c_str(),
             dcjfsn::EditionText(r.ver).c_str(), r.valuta, Printable(dcjfsn::Text(r.sNo)).c_str(), Errors(r, ",").c_str());
    return line;
}

std::string Heading(const NamedFsn& f)
{
    const File& file = f.file;
    return Printable(f.name) + ": layout " + LayoutText(file.layout) + ", images " + (file.images ? "yes" : "no") +
           ", declared " + std::to_string(file.header.counter) + ", found " + std::to_string(file.records.size()) +
           "\n";
}

void ShowPlain(const std::vector<NamedFsn>& files, bool drawImages)
{
    for (const NamedFsn& f : files) {
        Out(Heading(f));
        for (const Record& r : f.file.records) {
            Out(RecordLine(r));
            if (drawImages && r.hasImage) Out(DrawSerialText(r.image));
        }
        Tally tally;
        tally.Add(f.file);
        Out(tally.Text("  "));
        for (const std::string& p : f.file.problems) Out("  problem: " + p + "\n");
    }
}

void ShowJson(const std::vector<NamedFsn>& files)
{
    std::string out = "[";
    for (size_t i = 0; i < files.size(); ++i) {
        const File& file = files[i].file;
        out += i ? ",\n" : "\n";
        out += "{\"file\":" + JsonString(files[i].name) + ",\"layout\":" +
               (file.layout == dcjfsn::Layout::Unknown ? "null" : JsonString(LayoutText(file.layout))) +
               ",\"images\":" + (file.images ? "true" : "false") +
               ",\"declared\":" + std::to_string(file.header.counter) + ",\"records\":[";
        for (size_t k = 0; k < file.records.size(); ++k) {
            const Record& r = file.records[k];
            out += k ? "," : "";
            out += "{\"time\":" + JsonString(dcjfsn::TimeText(r.date, r.time)) +
                   ",\"authenticity\":" + JsonString(dcjfsn::AuthenticityText(r.tfFlag)) + ",\"errors\":[" +
                   Errors(r, ",") + "],\"currency\":" + JsonString(dcjfsn::Text(r.moneyFlag)) +
                   ",\"version\":" + JsonString(dcjfsn::EditionText(r.ver)) +
                   ",\"denomination\":" + std::to_string(r.valuta) + ",\"serial\":" + JsonString(dcjfsn::Text(r.sNo)) +
                   "}";
        }
        out += "],\"problems\":[";
        for (size_t k = 0; k < file.problems.size(); ++k) out += (k ? "," : "") + JsonString(file.problems[k]);
        out += "]}";
    }
    Out(out + "\n]\n");
}

void ShowCsv(const std::vector<NamedFsn>& files)
{
    Out("file,time,authenticity,currency,version,denomination,serial,error1,error2,error3\n");
    for (const NamedFsn& f : files) {
        for (const Record& r : f.file.records) {
            Out(CsvField(f.name) + "," + dcjfsn::TimeText(r.date, r.time) + "," + dcjfsn::AuthenticityText(r.tfFlag) +
                "," + CsvField(dcjfsn::Text(r.moneyFlag)) + "," + dcjfsn::EditionText(r.ver) + "," +
                std::to_string(r.valuta) + "," + CsvField(dcjfsn::Text(r.sNo)) + "," + Errors(r, ",") + "\n");
        }
        Problems(f);
    }
}

// DIR/<file's base name>-<record number>.png
bool WriteImages(const std::vector<NamedFsn>& files, const std::string& dir)
{
    bool ok = true;
    std::map<std::string, std::string> namedBy;  // base name -> the input whose images took it
    for (const NamedFsn& f : files) {
        const std::string base = f.name.substr(f.name.find_last_of('/') + 1);
        // Two inputs of one name (a/x.FSN, b/x.FSN) would write the same
        // image names: the second's would silently replace the first's.
        const auto taken = namedBy.emplace(base, f.name);
        if (!taken.second) {
            fprintf(stderr, "dcjctl: %s: images not written: %s/%s-<record>.png are %s's\n", f.name.c_str(),
                    dir.c_str(), base.c_str(), taken.first->second.c_str());
            ok = false;
            continue;
        }
        for (size_t k = 0; k < f.file.records.size(); ++k) {
            if (!f.file.records[k].hasImage) continue;
            const std::string path = dir + "/" + base + "-" + std::to_string(k + 1) + ".png";
            std::string error;
            if (!WriteSerialPng(path, f.file.records[k].image, &error)) {
                fprintf(stderr, "dcjctl: %s\n", error.c_str());
                ok = false;
            }
        }
    }
    return ok;
}

}  // namespace

std::vector<NamedFsn> ReadFsnFiles(const std::vector<std::string>& paths)
{
    std::vector<NamedFsn> files;
    for (const std::string& path : paths) {
        NamedFsn f{path, {}};
        std::string error;
        if (!dcjfsn::ReadPath(path, &f.file, &error)) f.file.problems.push_back("cannot read: " + error);
        files.push_back(std::move(f));
    }
    return files;
}

bool ShowFsn(const std::vector<NamedFsn>& files, const FsnShow& show)
{
    const bool draw = show.imagesDir == "-";
    if (show.format == FsnFormat::Json) {
        ShowJson(files);
    } else if (show.format == FsnFormat::Csv) {
        ShowCsv(files);
    } else {
        ShowPlain(files, draw);
    }
    if (show.format != FsnFormat::Csv) {
        // Plain shows them in the listing too; stderr carries them for scripts.
        for (const NamedFsn& f : files) Problems(f);
    }
    bool ok = true;
    for (const NamedFsn& f : files) ok = ok && f.file.Clean();
    if (!show.imagesDir.empty() && !draw) ok = WriteImages(files, show.imagesDir) && ok;
    return ok;
}

bool CheckFsn(const std::vector<NamedFsn>& files, bool quiet)
{
    Tally tally;
    bool ok = true;
    for (const NamedFsn& f : files) {
        if (!quiet) Out("  " + Heading(f));
        tally.Add(f.file);
        Problems(f);
        ok = ok && f.file.Clean();
    }
    if (!quiet) Out(tally.Text("  "));
    return ok;
}

}  // namespace dcjctl
