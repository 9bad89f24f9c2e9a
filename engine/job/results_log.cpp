#include "engine/job/results_log.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <cwctype>

#include "media/file.h"
#include "platform/platform.h"

const char* const kResultsLogColumns[] = {
    "source",          "output",      "status",      "reason",          "source_rate",
    "source_channels", "source_bits", "target_rate", "target_channels", "target_bits",
    "frames_in",       "frames_out",  "seconds",     "peak_dbfs",       "clipped"};
const int kResultsLogColumnCount =
    static_cast<int>(sizeof kResultsLogColumns / sizeof kResultsLogColumns[0]);

namespace {

const char* StatusName(FileStatus status) {
    switch (status) {
        case FileStatus::Converted:
            return "converted";
        case FileStatus::Stopped:
            return "stopped";
        case FileStatus::NotStarted:
            return "not_started";
        case FileStatus::Skipped:
            return "skipped";
        case FileStatus::SourceUnreadable:
            return "unreadable";
        case FileStatus::UnsupportedRatio:
            return "unsupported_ratio";
        case FileStatus::OutputFailed:
            return "output_failed";
        case FileStatus::NoFreeName:
            return "no_free_name";
        case FileStatus::UnusableName:
            return "unusable_name";
        case FileStatus::UnusableTemplate:
            return "unusable_template";
        case FileStatus::OutOfMemory:
            return "out_of_memory";
        case FileStatus::ReadFailed:
            return "read_failed";
        case FileStatus::WriteFailed:
            return "write_failed";
        case FileStatus::SizeLimit:
            return "size_limit";
    }
    return "unknown";
}

void AppendUtf8(std::string& out, std::uint32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

void AppendHex(std::string& out, const char* form, std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, form, static_cast<unsigned>(value));
    out += text;
}

enum class Quoting { Csv, Json };

// The text as UTF-8, each character that has no UTF-8 form escaped (see results_log.h) and, for
// JSON, the characters a JSON string may not hold as they are.
std::string Encode(const wchar_t* text, Quoting quoting) {
    std::string out;
    for (const wchar_t* p = text; p != nullptr && *p != 0; ++p) {
        std::uint32_t c = static_cast<std::uint32_t>(*p);
        if (c >= 0xD800 && c <= 0xDBFF && p[1] >= 0xDC00 && p[1] <= 0xDFFF) {
            // A UTF-16 surrogate pair (Windows) is one character.
            c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<std::uint32_t>(p[1]) - 0xDC00);
            ++p;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            if (quoting == Quoting::Json) {
                AppendHex(out, "\\u%04x", c);
            } else {
#ifdef _WIN32
                AppendHex(out, "\\u%04x", c);
#else
                AppendHex(out, "\\x%02x", c >= 0xDC80 && c <= 0xDCFF ? c - 0xDC00 : c);
#endif
            }
            continue;
        }
        if (quoting == Quoting::Json) {
            if (c == '"' || c == '\\') {
                out += '\\';
                out += static_cast<char>(c);
                continue;
            }
            if (c < 0x20 || c == 0x2028 || c == 0x2029) {
                const char* named = c == '\n' ? "\\n" : c == '\r' ? "\\r" : c == '\t' ? "\\t" : "";
                if (*named != 0) {
                    out += named;
                } else {
                    AppendHex(out, "\\u%04x", c);
                }
                continue;
            }
        }
#ifndef _WIN32
        if (quoting == Quoting::Csv && c == '\\') out += '\\';
#endif
        AppendUtf8(out, c);
    }
    return out;
}

std::string EncodeString(const CString& text, Quoting quoting) {
    CString copy;
    copy.AssignString(text);
    return Encode(copy.WideText(), quoting);
}

// A number with a fixed count of decimals, whatever the locale says about the point.
std::string Fixed(double value, int decimals) {
    const double scale = decimals == 3 ? 1000.0 : 100.0;
    const long long scaled = std::llround(std::fabs(value) * scale);
    const long long whole = scaled / static_cast<long long>(scale);
    const long long part = scaled % static_cast<long long>(scale);
    char text[48];
    std::snprintf(text, sizeof text, decimals == 3 ? "%s%lld.%03lld" : "%s%lld.%02lld",
                  value < 0 && scaled != 0 ? "-" : "", whole, part);
    return text;
}

std::string Bits(int bits, bool floats) {
    if (bits <= 0) return std::string();
    return std::to_string(bits) + (floats ? "f" : "");
}

int TargetBits(const ConversionTarget& target) {
    return target.format == SampleType::Int24 ? 24 : target.format == SampleType::Float32 ? 32 : 16;
}

// The row's fields in column order; an empty optional field is absent (null in JSON), and
// `text` says which fields are strings.
struct Field {
    std::string value;
    bool present = true;
    bool text = false;
};

std::vector<Field> Fields(const ResultsLogRow& row, const ConversionTarget& target,
                          Quoting quoting) {
    const FileResult& r = row.result;
    const bool opened = r.sourceRate != 0;
    const bool created = r.outputPath.Length() > 0;
    const bool failedOrStopped = r.status != FileStatus::Converted;
    auto text = [](std::string value, bool present = true) {
        return Field{std::move(value), present, true};
    };
    auto number = [](std::string value, bool present) {
        return Field{std::move(value), present, false};
    };
    std::vector<Field> fields;
    fields.push_back(text(EncodeString(row.source, quoting)));
    fields.push_back(text(EncodeString(r.outputPath, quoting), created));
    fields.push_back(text(StatusName(r.status)));
    fields.push_back(
        text(failedOrStopped ? EncodeString(DescribeFileResult(r), quoting) : std::string(),
             failedOrStopped));
    fields.push_back(number(std::to_string(r.sourceRate), opened));
    fields.push_back(number(std::to_string(r.sourceChannels), opened));
    fields.push_back(text(Bits(r.sourceBits, r.sourceFloat), opened));
    fields.push_back(number(std::to_string(target.frequency), true));
    fields.push_back(number(std::to_string(target.channels), true));
    fields.push_back(text(Bits(TargetBits(target), target.format == SampleType::Float32)));
    fields.push_back(number(std::to_string(r.sourceFramesDone), opened));
    fields.push_back(number(std::to_string(r.framesWritten), created));
    fields.push_back(number(Fixed(SourceSeconds(r), 3), opened));
    const bool peak = created && std::isfinite(r.peakDb);
    fields.push_back(number(peak ? Fixed(r.peakDb, 2) : std::string(), peak));
    fields.push_back(number(std::to_string(r.clipped), created));
    return fields;
}

void AppendCsvField(std::string& out, const std::string& value) {
    if (value.find_first_of(",\"\r\n") == std::string::npos) {
        out += value;
        return;
    }
    out += '"';
    for (char c : value) {
        if (c == '"') out += '"';
        out += c;
    }
    out += '"';
}

}  // namespace

FileResult CopyOfResult(const FileResult& result) {
    FileResult copy;
    copy.status = result.status;
    copy.sourceError = result.sourceError;
    copy.systemError = result.systemError;
    copy.outputPath.AssignString(result.outputPath);
    copy.framesWritten = result.framesWritten;
    copy.sourceFrames = result.sourceFrames;
    copy.sourceFramesDone = result.sourceFramesDone;
    copy.sourceRate = result.sourceRate;
    copy.sourceChannels = result.sourceChannels;
    copy.sourceBits = result.sourceBits;
    copy.sourceFloat = result.sourceFloat;
    copy.clipped = result.clipped;
    copy.peakDb = result.peakDb;
    copy.gainLoweredDb = result.gainLoweredDb;
    return copy;
}

ResultsLogFormat ResultsLogFormatFor(const CString& path) {
    CString copy;
    copy.AssignString(path);
    const wchar_t* name = copy.WideText();
    const std::size_t length = name != nullptr ? std::wcslen(name) : 0;
    const wchar_t* suffix = L".jsonl";
    if (length < 6) return ResultsLogFormat::Csv;
    for (std::size_t i = 0; i < 6; ++i) {
        if (std::towlower(static_cast<wint_t>(name[length - 6 + i])) !=
            static_cast<wint_t>(suffix[i]))
            return ResultsLogFormat::Csv;
    }
    return ResultsLogFormat::JsonLines;
}

std::string ResultsLogText(const std::vector<ResultsLogRow>& rows, const ConversionTarget& target,
                           ResultsLogFormat format) {
    std::string out;
    if (format == ResultsLogFormat::Csv) {
        for (int i = 0; i < kResultsLogColumnCount; ++i) {
            if (i > 0) out += ',';
            out += kResultsLogColumns[i];
        }
        out += "\r\n";
        for (const ResultsLogRow& row : rows) {
            const std::vector<Field> fields = Fields(row, target, Quoting::Csv);
            for (std::size_t i = 0; i < fields.size(); ++i) {
                if (i > 0) out += ',';
                if (fields[i].present) AppendCsvField(out, fields[i].value);
            }
            out += "\r\n";
        }
        return out;
    }
    for (const ResultsLogRow& row : rows) {
        const std::vector<Field> fields = Fields(row, target, Quoting::Json);
        out += '{';
        for (std::size_t i = 0; i < fields.size(); ++i) {
            if (i > 0) out += ',';
            out += '"';
            out += kResultsLogColumns[i];
            out += "\":";
            if (!fields[i].present) {
                out += "null";
            } else if (fields[i].text) {
                out += '"' + fields[i].value + '"';
            } else {
                out += fields[i].value;
            }
        }
        out += "}\n";
    }
    return out;
}

bool WriteResultsLog(const CString& path, const std::vector<ResultsLogRow>& rows,
                     const ConversionTarget& target, int* systemError) {
    const std::string text = ResultsLogText(rows, target, ResultsLogFormatFor(path));
    CFile file;
    if (file.CreateTemporaryBeside(path) != 0) {
        if (systemError != nullptr) *systemError = file.LastError();
        return false;
    }
    CString temporary;
    temporary.AssignString(file.Name());
    const std::uint32_t bytes = static_cast<std::uint32_t>(text.size());
    bool ok = file.Write(text.data(), bytes) == bytes && file.Flush() != 0;
    int error = file.LastError();
    file.Close();
    CString destination;
    destination.AssignString(path);
    if (ok && !platform::RenameOver(temporary.WideText(), destination.WideText())) {
        ok = false;
        error = platform::LastError();
    }
    if (!ok) {
        platform::DeleteFilePath(temporary.WideText());
        if (systemError != nullptr) *systemError = error;
    }
    return ok;
}
