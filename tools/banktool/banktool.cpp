// banktool: looks at question-bank files the way the drill reads them.
//   banktool fields FILE   one JSON array of fields per bank line
//   banktool check [--kind four|yomi] [--no-layout] [--table DIR] FILE
//                          every problem of the bank, one a line; with
//                          --table also against the joyo table in DIR
//   banktool stats --table DIR FILE...
//                          figures of the banks against the joyo table
#include <getopt.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "app/FuncUnit.h"
#include "platform/Exceptions.h"
#include "platform/Files.h"
#include "platform/ShiftJis.h"
#include "text/TextList.h"
#include "tools/banktool/BankCheck.h"
#include "tools/banktool/BankStats.h"
#include "tools/banktool/BankTable.h"
#include "tools/banktool/JoyoTable.h"
#include "tools/common/ToolErrors.h"
#ifdef TOBELIN_BANKTOOL_SCREEN
#include "tools/banktool/BankScreen.h"
#endif

namespace {

// Exit codes: 0 done, 1 the work failed, 2 the command line was wrong.
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

const char kUsage[] =
    "usage: banktool COMMAND [OPTIONS] FILE\n"
    "  banktool fields FILE\n"
    "                 print each bank line's fields as a JSON array\n"
    "  banktool check [--kind four|yomi] [--no-layout] [--table DIR] FILE\n"
    "                 report every problem of a bank, one a line; without --kind\n"
    "                 the kind follows the name (four*: idioms, *yomi*: readings);\n"
    "                 a UTF-8 .txt FILE is read as a bank source, its \"# reviewed:\"\n"
    "                 lines marking the records below them\n"
    "  banktool stats --table DIR FILE...\n"
    "                 figures of the banks (.dat or UTF-8 .txt sources) against\n"
    "                 the joyo table in DIR (banks/joyo)\n"
    "  banktool --help | --version\n";

const char kHelp[] =
    "\n"
    "Options:\n"
    "  -k, --kind=KIND   the bank's kind: four (idioms) or yomi (readings)\n"
    "  -n, --no-layout   do not measure whether the texts fit the drill's screens\n"
    "  -t, --table=DIR   also check against the joyo readings table in DIR\n"
    "  -h, --help        show this text\n"
    "  -V, --version     show the version\n"
    "  --                end of the options: a FILE may begin with '-'\n"
    "\n"
    "Exit status: 0 done (a clean bank for check), 1 failed or problems found,\n"
    "2 a wrong command line. Messages go to standard error; check's report goes\n"
    "to standard output.\n";

// A wrong command line: reported with the usage, exit status 2.
struct TUsageError {
    std::string Message;
};

std::string JsonString(std::string_view utf8) {
    std::string out = "\"";
    for (const char c : utf8) {
        const auto b = static_cast<unsigned char>(c);
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (b < 0x20 || b == 0x7F) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", b);
                    out += buf;
                } else {
                    out += c;
                }
        }
    }
    return out + "\"";
}

std::string JsonArray(const TStringList& list) {
    std::string out = "[";
    for (size_t i = 0; i < list.Items().size(); ++i) {
        if (i != 0) out += ",";
        out += JsonString(SjisToUtf8(list.Items()[i]));
    }
    return out + "]";
}

// Every line is split into one list that lives across lines, as the
// drill's field list does: an empty line leaves the previous fields.
void LoadBank(TStringList& lines, const std::string& path) {
    try {
        LoadLines(lines, path);
    } catch (const Exception& e) {
        throw TToolError(DescribeFrameworkError(e, path));
    }
}

int Fields(const std::string& path) {
    TStringList lines;
    LoadBank(lines, path);
    TStringList fields;
    for (const std::string& line : lines.Items()) {
        SplitFields(line, ',', fields);
        std::printf("%s\n", JsonArray(fields).c_str());
    }
    return 0;
}

// Whether the bytes are well-formed UTF-8. A Shift-JIS bank that holds any
// kanji or kana is not.
bool IsUtf8(std::string_view bytes) {
    for (size_t i = 0; i < bytes.size();) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        const size_t n = b < 0x80 ? 1 : (b >> 5) == 0x6 ? 2 : (b >> 4) == 0xE ? 3 : (b >> 3) == 0x1E ? 4 : 0;
        if (n == 0 || i + n > bytes.size()) return false;
        for (size_t k = 1; k < n; ++k)
            if ((static_cast<unsigned char>(bytes[i + k]) & 0xC0) != 0x80) return false;
        i += n;
    }
    return true;
}

// A bank's UTF-8 source: a .txt file in UTF-8. A .txt written in Shift-JIS
// is read as the drill reads it.
bool IsSource(const std::string& path, std::string_view bytes) {
    return path.size() > 4 && path.compare(path.size() - 4, 4, ".txt") == 0 && IsUtf8(bytes);
}

// A bank as the drill reads it (.dat, Shift-JIS), or its UTF-8 source (.txt)
// whose lines starting with '#' are comments; a comment starting
// "# reviewed:" marks the record right below it as reviewed in context.
BankFile ReadBank(const std::string& path, std::optional<BankKind> kind) {
    if (!kind) kind = KindFromFileName(path);
    if (!kind) throw TUsageError{"cannot tell the kind of " + path + " from its name; give --kind four|yomi"};
    BankFile bank{path, *kind, {}, {}, {}};
    std::string bytes;
    try {
        bytes = ReadWholeFile(path);
    } catch (const Exception& e) {
        throw TToolError(DescribeFrameworkError(e, path, errno));
    }
    if (IsSource(path, bytes)) {
        const std::vector<std::string> lines = SplitLines(bytes);
        for (size_t i = 0; i < lines.size(); ++i) {
            if (!lines[i].empty() && lines[i][0] == '#') continue;
            bank.lines.push_back(Utf8ToSjis(lines[i]));
            bank.sourceLines.push_back(int32_t(i + 1));
            bank.reviewed.push_back(i > 0 && lines[i - 1].rfind("# reviewed:", 0) == 0);
        }
    } else {
        TStringList lines;
        LoadBank(lines, path);
        bank.lines = lines.Items();
    }
    return bank;
}

struct TCheckOptions {
    std::string path;
    std::optional<BankKind> kind;
    bool layout = true;
    std::optional<std::string> tableDir;
};

const char* KindName(BankKind kind) { return kind == BankKind::Four ? "four" : "yomi"; }

// Reads the bank with LoadLines and SplitFields as the drill does and
// prints "FILE:LINE: problem" (or "FILE: problem" for the bank as a whole)
// on standard output. Exits 0 only for a clean bank.
int Check(TCheckOptions o) {
    if (!o.kind) {
        o.kind = KindFromFileName(o.path);
        if (!o.kind) throw TUsageError{"cannot tell the kind of " + o.path + " from its name; give --kind four|yomi"};
        std::fprintf(stderr, "banktool: %s: checked as a %s bank, guessed from its name (--kind says otherwise)\n",
                     o.path.c_str(), KindName(*o.kind));
    }
    std::vector<BankProblem> problems;
    const BankFile bank = ReadBank(o.path, o.kind);
    // LoadLines stops at a zero byte; whatever follows never reaches the
    // drill. The file is read once more to see whether that happened.
    std::string bytes;
    try {
        bytes = ReadWholeFile(o.path);
    } catch (const Exception& e) {
        throw TToolError(DescribeFrameworkError(e, o.path, errno));
    }
    if (const std::optional<int32_t> zero = ZeroByteLine(bytes))
        problems.push_back({*zero, "a zero byte ends the bank here: the drill reads nothing after it"});

    RecordLayoutCheck layout;
#ifdef TOBELIN_BANKTOOL_SCREEN
    std::unique_ptr<BankScreen> screen;
    if (o.layout) {
        screen = std::make_unique<BankScreen>();
        for (std::string& message : screen->SetupProblems()) problems.push_back({0, std::move(message)});
        layout = [&screen, kind = *o.kind](const std::vector<std::string>& fields) {
            return screen->Check(kind, fields);
        };
    }
#else
    if (o.layout) problems.push_back({0, "text sizes not measured: banktool was built without Qt"});
#endif
    std::vector<BankProblem> found = CheckBank(bank.lines, *o.kind, layout);
    if (o.tableDir) {
        const std::vector<BankProblem> table =
            CheckBankTable(bank.lines, *o.kind, JoyoTable::Load(*o.tableDir), bank.reviewed);
        found.insert(found.end(), table.begin(), table.end());
    }
    // A source's records are reported at their lines in the file.
    if (!bank.sourceLines.empty())
        for (BankProblem& p : found)
            if (p.line > 0 && size_t(p.line) <= bank.sourceLines.size()) p.line = bank.sourceLines[size_t(p.line) - 1];
    problems.insert(problems.end(), found.begin(), found.end());
    std::stable_sort(problems.begin(), problems.end(),
                     [](const BankProblem& a, const BankProblem& b) { return a.line < b.line; });

    for (const BankProblem& p : problems) {
        if (p.line == 0)
            std::printf("%s: %s\n", o.path.c_str(), p.message.c_str());
        else
            std::printf("%s:%d: %s\n", o.path.c_str(), int(p.line), p.message.c_str());
    }
    return problems.empty() ? 0 : kExitFailure;
}

int Stats(const std::vector<std::string>& paths, const TCheckOptions& o) {
    if (!o.tableDir) throw TUsageError{"stats needs --table DIR"};
    const JoyoTable table = JoyoTable::Load(*o.tableDir);
    std::vector<BankFile> banks;
    for (const std::string& path : paths) banks.push_back(ReadBank(path, o.kind));
    // The school-word list is optional: without it the shares are left out.
    std::optional<std::set<std::u16string>> school;
    const std::string schoolPath = *o.tableDir + "/school_words.txt";
    if (std::filesystem::exists(schoolPath)) {
        std::string bytes;
        try {
            bytes = ReadWholeFile(schoolPath);
        } catch (const Exception& e) {
            throw TToolError(DescribeFrameworkError(e, schoolPath, errno));
        }
        school.emplace();
        for (const std::string& line : SplitLines(bytes))
            if (!line.empty() && line[0] != '#') school->insert(SjisToUtf16(Utf8ToSjis(line)));
    }
    for (const std::string& line : BankStats(banks, table, school ? &*school : nullptr))
        std::printf("%s\n", line.c_str());
    return 0;
}

enum class TCommand { None, Fields, Check, Stats };

struct TCommandLine {
    bool help = false, version = false;
    TCommand command = TCommand::None;
    TCheckOptions check;
    std::vector<std::string> files;
};

// GNU-style: options may stand before or after the command and the file,
// as "--kind yomi" or "--kind=yomi"; "--" ends them.
TCommandLine ParseCommandLine(int argc, char** argv) {
    static const option kOptions[] = {
        {"kind", required_argument, nullptr, 'k'},
        {"no-layout", no_argument, nullptr, 'n'},
        {"table", required_argument, nullptr, 't'},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},
        {nullptr, 0, nullptr, 0},
    };
    TCommandLine c;
    bool layoutOption = false;
    opterr = 0;
    optind = 0;
    int opt;
    while ((opt = getopt_long(argc, argv, ":k:nt:hV", kOptions, nullptr)) != -1) {
        switch (opt) {
            case 'k':
                if (c.check.kind) throw TUsageError{"--kind given twice"};
                if (std::string_view(optarg) == "four")
                    c.check.kind = BankKind::Four;
                else if (std::string_view(optarg) == "yomi")
                    c.check.kind = BankKind::Yomi;
                else
                    throw TUsageError{"--kind is four or yomi, not \"" + std::string(optarg) + "\""};
                break;
            case 'n':
                c.check.layout = false;
                layoutOption = true;
                break;
            case 't':
                if (c.check.tableDir) throw TUsageError{"--table given twice"};
                c.check.tableDir = optarg;
                break;
            case 'h': c.help = true; break;
            case 'V': c.version = true; break;
            case ':': throw TUsageError{std::string(argv[optind - 1]) + " needs a value"};
            default:
                throw TUsageError{"unknown option " +
                                  (optopt != 0 ? "-" + std::string(1, char(optopt)) : std::string(argv[optind - 1]))};
        }
    }
    if (c.help || c.version) return c;
    const std::vector<std::string> operands(argv + optind, argv + argc);
    if (operands.empty()) throw TUsageError{"give a COMMAND"};
    if (operands[0] == "fields")
        c.command = TCommand::Fields;
    else if (operands[0] == "check")
        c.command = TCommand::Check;
    else if (operands[0] == "stats")
        c.command = TCommand::Stats;
    else
        throw TUsageError{"unknown command \"" + operands[0] + "\""};
    if (c.command == TCommand::Stats) {
        if (operands.size() < 2) throw TUsageError{"stats takes one or more FILEs"};
        c.files.assign(operands.begin() + 1, operands.end());
        return c;
    }
    if (operands.size() != 2) throw TUsageError{operands[0] + " takes one FILE"};
    if (c.command == TCommand::Fields && (c.check.kind || layoutOption || c.check.tableDir))
        throw TUsageError{"fields takes no options"};
    c.check.path = operands[1];
    return c;
}

// Standard output is checked once at the end: a report that could not be
// written is a failure.
int FinishOutput(int status) {
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "banktool: cannot write standard output: %s\n", std::strerror(errno ? errno : EIO));
        return kExitFailure;
    }
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const TCommandLine c = ParseCommandLine(argc, argv);
        if (c.help) {
            std::printf("%s%s", kUsage, kHelp);
            return FinishOutput(0);
        }
        if (c.version) {
            std::printf("banktool %s\n", TOBELIN_TOOLS_VERSION);
            return FinishOutput(0);
        }
        const int status = c.command == TCommand::Fields  ? Fields(c.check.path)
                           : c.command == TCommand::Stats ? Stats(c.files, c.check)
                                                          : Check(c.check);
        return FinishOutput(status);
    } catch (const TUsageError& e) {
        std::fprintf(stderr, "banktool: %s\n%s", e.Message.c_str(), kUsage);
        return kExitUsage;
    } catch (const EOutOfMemory&) {
        std::fprintf(stderr, "banktool: out of memory\n");
    } catch (const Exception& e) {
        std::fprintf(stderr, "banktool: %s\n", SjisToUtf8(e.message()).c_str());
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "banktool: out of memory\n");
    } catch (const std::exception& e) {
        std::fprintf(stderr, "banktool: %s\n", e.what());
    }
    return kExitFailure;
}
