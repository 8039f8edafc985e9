// Runs the built pngconv program: the PNG suite through PAM and back, the
// --info report against the suite's names, the save options, PAM input,
// and error exits that must leave no output behind.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/RunCommand.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

const std::string kProgram = std::string(TOBELIN_RUNTIME_DIR) + "/pngconv";
const std::string kSuite = std::string(TOBELIN_TESTDATA_DIR) + "/pngsuite";

Bytes ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void WriteFile(const fs::path& path, const std::string& data) {
    std::ofstream out(path, std::ios::binary);
    out << data;
}

std::string AsText(const Bytes& b) { return std::string(b.begin(), b.end()); }

struct RunResult {
    int Status = -1;
    std::string Out, Err;
};

// A scratch folder removed at the end of the test.
class ScratchDir {
public:
    ScratchDir() {
        std::string pattern = (fs::temp_directory_path() / "pngconvtestXXXXXX").string();
        if (!mkdtemp(pattern.data()))
            throw std::runtime_error("mkdtemp failed");
        Path_ = pattern;
    }
    ~ScratchDir() {
        std::error_code ec;
        fs::remove_all(Path_, ec);
    }
    fs::path operator/(const std::string& name) const { return Path_ / name; }
    const fs::path& Path() const { return Path_; }
    // Names of the files in the folder, sorted.
    std::vector<std::string> Files() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(Path_))
            names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

private:
    fs::path Path_;
};

RunResult RunTool(const std::vector<std::string>& args, const ScratchDir& dir) {
    const std::string outPath = (dir.Path().parent_path() / (dir.Path().filename().string() + ".out")).string();
    const std::string errPath = (dir.Path().parent_path() / (dir.Path().filename().string() + ".err")).string();
    std::vector<std::string> all{kProgram};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    RunResult r;
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, kProgram.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        return r;
    int status = 0;
    if (waitpid(pid, &status, 0) == pid && WIFEXITED(status))
        r.Status = WEXITSTATUS(status);
    r.Out = AsText(ReadFile(outPath));
    r.Err = AsText(ReadFile(errPath));
    fs::remove(outPath);
    fs::remove(errPath);
    return r;
}

struct Pam {
    int Width = -1, Height = -1, Depth = -1, MaxVal = -1;
    std::string TupleType;
    Bytes Data;
};

// An independent reader for what pngconv writes: fails on anything else.
bool ParsePam(const Bytes& file, Pam& pam) {
    std::string text = AsText(file);
    const std::string end = "ENDHDR\n";
    const size_t stop = text.find(end);
    if (text.rfind("P7\n", 0) != 0 || stop == std::string::npos)
        return false;
    std::istringstream header(text.substr(3, stop - 3));
    std::string key;
    while (header >> key) {
        if (key == "WIDTH") header >> pam.Width;
        else if (key == "HEIGHT") header >> pam.Height;
        else if (key == "DEPTH") header >> pam.Depth;
        else if (key == "MAXVAL") header >> pam.MaxVal;
        else if (key == "TUPLTYPE") header >> pam.TupleType;
        else return false;
    }
    pam.Data.assign(file.begin() + long(stop + end.size()), file.end());
    return true;
}

struct SuiteImage {
    std::string Name;
    int Width = 0, Height = 0;
    std::string ColorType, BitDepth, Interlace, Reference;
};

std::vector<SuiteImage> Manifest() {
    std::ifstream in(kSuite + "/manifest.tsv");
    std::vector<SuiteImage> rows;
    std::string line;
    std::getline(in, line);  // column names
    while (std::getline(in, line)) {
        std::istringstream f(line);
        SuiteImage s;
        std::string w, h;
        std::getline(f, s.Name, '\t');
        std::getline(f, w, '\t');
        std::getline(f, h, '\t');
        std::getline(f, s.ColorType, '\t');
        std::getline(f, s.BitDepth, '\t');
        std::getline(f, s.Interlace, '\t');
        std::getline(f, s.Reference, '\t');
        s.Width = w == "-" ? 0 : std::stoi(w);
        s.Height = h == "-" ? 0 : std::stoi(h);
        rows.push_back(s);
    }
    return rows;
}

std::map<std::string, std::string> InfoLines(const std::string& out) {
    std::map<std::string, std::string> info;
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line)) {
        const size_t colon = line.find(": ");
        if (colon != std::string::npos)
            info[line.substr(0, colon)] = line.substr(colon + 2);
    }
    return info;
}

// The leading number of an --info value ("2 (truecolour)" -> "2").
std::string LeadingNumber(const std::string& value) {
    size_t n = 0;
    while (n < value.size() && value[n] >= '0' && value[n] <= '9')
        ++n;
    return value.substr(0, n);
}

// The chunk types of a PNG file in order.
std::vector<std::string> ChunkTypes(const Bytes& file) {
    std::vector<std::string> types;
    size_t pos = 8;
    while (file.size() >= pos + 12) {
        const uint32_t len = uint32_t(file[pos]) << 24 | uint32_t(file[pos + 1]) << 16 |
                             uint32_t(file[pos + 2]) << 8 | file[pos + 3];
        types.emplace_back(reinterpret_cast<const char*>(&file[pos + 4]), 4);
        pos += 12 + size_t(len);
    }
    return types;
}

int Count(const std::vector<std::string>& v, const std::string& s) { return int(std::count(v.begin(), v.end(), s)); }

// ---- hand-built PNG files ---------------------------------------------------

void PutBe32(Bytes& out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(uint8_t(v >> shift));
}

void AddChunk(Bytes& file, const std::string& type, const Bytes& data) {
    PutBe32(file, uint32_t(data.size()));
    const size_t start = file.size();
    file.insert(file.end(), type.begin(), type.end());
    file.insert(file.end(), data.begin(), data.end());
    PutBe32(file, uint32_t(crc32(0, &file[start], uInt(file.size() - start))));
}

struct ChunkSpec {
    std::string Type;
    Bytes Data;
};

// A non-interlaced PNG of width x height with the given chunks between IHDR
// and IDAT; every row is filter type 0 followed by rowBytes bytes from fill.
Bytes MakePng(uint32_t width, uint32_t height, uint8_t depth, uint8_t colorType, size_t rowBytes,
              const std::vector<ChunkSpec>& chunks, uint8_t (*fill)(size_t)) {
    Bytes file = {137, 80, 78, 71, 13, 10, 26, 10};
    Bytes ihdr;
    PutBe32(ihdr, width);
    PutBe32(ihdr, height);
    ihdr.insert(ihdr.end(), {depth, colorType, 0, 0, 0});
    AddChunk(file, "IHDR", ihdr);
    for (const auto& c : chunks) AddChunk(file, c.Type, c.Data);
    Bytes raw;
    for (uint32_t y = 0; y < height; ++y) {
        raw.push_back(0);
        for (size_t x = 0; x < rowBytes; ++x) raw.push_back(fill(y * rowBytes + x));
    }
    uLongf size = compressBound(uLong(raw.size()));
    Bytes packed(size);
    compress(packed.data(), &size, raw.data(), uLong(raw.size()));
    packed.resize(size);
    AddChunk(file, "IDAT", packed);
    AddChunk(file, "IEND", {});
    return file;
}

Bytes Be32Bytes(uint32_t v) {
    Bytes b;
    PutBe32(b, v);
    return b;
}

Bytes TextBytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

std::string Zlib(const std::string& text) {
    uLongf size = compressBound(uLong(text.size()));
    std::string out(size, '\0');
    compress(reinterpret_cast<Bytef*>(out.data()), &size, reinterpret_cast<const Bytef*>(text.data()), uLong(text.size()));
    out.resize(size);
    return out;
}

// The PAM data of what pngconv decodes from a file, without the header.
Bytes DecodedRgba(const fs::path& png, const ScratchDir& dir) {
    const fs::path pam = dir / "decoded.pam";
    if (RunTool({png.string(), pam.string()}, dir).Status != 0) return {};
    Pam p;
    if (!ParsePam(ReadFile(pam), p)) return {};
    fs::remove(pam);
    return p.Data;
}

class Pngconv : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(fs::exists(kProgram)) << kProgram << " is missing: build the pngconv target first";
    }
    ScratchDir Dir;
};

// ---- the suite --------------------------------------------------------------

TEST_F(Pngconv, SuiteImagesConvertToReferencePixelsAndBackUnchanged) {
    int checked = 0;
    for (const SuiteImage& s : Manifest()) {
        if (s.Reference == "-")
            continue;
        SCOPED_TRACE(s.Name);
        const fs::path pam = Dir / (s.Name + ".pam");
        const fs::path png = Dir / (s.Name + ".png");
        const fs::path again = Dir / (s.Name + ".again.pam");
        RunResult r = RunTool({kSuite + "/" + s.Name + ".png", pam.string()}, Dir);
        ASSERT_EQ(r.Status, 0) << r.Err;
        EXPECT_TRUE(r.Err.empty()) << r.Err;
        Pam p;
        ASSERT_TRUE(ParsePam(ReadFile(pam), p));
        EXPECT_EQ(p.Width, s.Width);
        EXPECT_EQ(p.Height, s.Height);
        EXPECT_EQ(p.Depth, 4);
        EXPECT_EQ(p.MaxVal, 255);
        EXPECT_EQ(p.TupleType, "RGB_ALPHA");
        EXPECT_TRUE(p.Data == ReadFile(kSuite + "/" + s.Reference)) << "pixels differ from the reference";

        r = RunTool({pam.string(), png.string()}, Dir);
        ASSERT_EQ(r.Status, 0) << r.Err;
        r = RunTool({png.string(), again.string()}, Dir);
        ASSERT_EQ(r.Status, 0) << r.Err;
        EXPECT_TRUE(ReadFile(pam) == ReadFile(again)) << "PAM -> PNG -> PAM changed the picture";
        ++checked;
    }
    EXPECT_GE(checked, 80);
}

TEST_F(Pngconv, InfoMatchesTheSuiteNames) {
    // Name: feature (3), n/i, colour (2), depth (2).
    const std::map<std::string, std::string> colourCodes = {
        {"0g", "0"}, {"2c", "2"}, {"3p", "3"}, {"4a", "4"}, {"6a", "6"}};
    int checked = 0;
    for (const SuiteImage& s : Manifest()) {
        if (s.Reference == "-")
            continue;
        SCOPED_TRACE(s.Name);
        ASSERT_EQ(s.Name.size(), 8u);
        const RunResult r = RunTool({"--info", kSuite + "/" + s.Name + ".png"}, Dir);
        ASSERT_EQ(r.Status, 0) << r.Err;
        auto info = InfoLines(r.Out);
        EXPECT_EQ(LeadingNumber(info["colour type"]), s.ColorType);
        EXPECT_EQ(LeadingNumber(info["colour type"]), colourCodes.at(s.Name.substr(4, 2)));
        EXPECT_EQ(info["bit depth"], s.BitDepth);
        EXPECT_EQ(std::stoi(info["bit depth"]), std::stoi(s.Name.substr(6, 2)));
        EXPECT_EQ(LeadingNumber(info["interlace"]), s.Interlace);
        EXPECT_EQ(LeadingNumber(info["interlace"]), s.Name[3] == 'i' ? "1" : "0");
        EXPECT_EQ(info["width"], std::to_string(s.Width));
        EXPECT_EQ(info["height"], std::to_string(s.Height));
        ++checked;
    }
    EXPECT_GE(checked, 80);
}

TEST_F(Pngconv, InfoReportsEveryKey) {
    const RunResult r = RunTool({"--info", kSuite + "/tbrn2c08.png"}, Dir);
    ASSERT_EQ(r.Status, 0) << r.Err;
    auto info = InfoLines(r.Out);
    for (const char* key : {"width", "height", "colour type", "bit depth", "source bit count", "bitmap bit count",
                            "interlace", "has alpha", "gamma", "significant bits", "background colour",
                            "transparent colour", "resolution", "time", "comment"}) {
        EXPECT_EQ(info.count(key), 1u) << key;
    }
    EXPECT_EQ(info["source bit count"], "24");
    EXPECT_EQ(info["bitmap bit count"], "24");
    EXPECT_EQ(info["has alpha"], "no");
    EXPECT_EQ(info["transparent colour"], "#FFFFFF");
    EXPECT_EQ(info["gamma"], "1.00000");

    const RunResult alpha = RunTool({"--info", kSuite + "/basn6a16.png"}, Dir);
    ASSERT_EQ(alpha.Status, 0) << alpha.Err;
    auto a = InfoLines(alpha.Out);
    EXPECT_EQ(a["has alpha"], "yes");
    EXPECT_EQ(a["source bit count"], "48");
    EXPECT_EQ(a["bit depth"], "16");
}

// ---- errors -----------------------------------------------------------------

TEST_F(Pngconv, CorruptSuiteFilesFailWithTheDecodersMessage) {
    struct Case {
        const char* Name;
        const char* Message;
    } cases[] = {
        {"xc1n0g08", "Read Header(PNG): Error ColorType"},
        {"xd0n2c08", "Read Header(PNG): Error BitDepth"},
        {"xs1n0g01", "PNG LoadStream: Not PNG Format"},
        {"xs2n0g01", "PNG LoadStream: Not PNG Format"},
        {"xlfn0g04", "PNG LoadStream: Not PNG Format"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        for (const char* ext : {".pam", ".png", ".bmp"}) {
            const RunResult r = RunTool({kSuite + "/" + c.Name + ".png", (Dir / (std::string("out") + ext)).string()}, Dir);
            EXPECT_EQ(r.Status, 1);
            EXPECT_EQ(r.Err, "pngconv: " + kSuite + "/" + c.Name + ".png: " + c.Message + "\n");
            EXPECT_TRUE(r.Out.empty());
        }
        const RunResult info = RunTool({"--info", kSuite + "/" + c.Name + ".png"}, Dir);
        EXPECT_EQ(info.Status, 1);
        EXPECT_EQ(info.Err, "pngconv: " + kSuite + "/" + c.Name + ".png: " + c.Message + "\n");
        EXPECT_TRUE(info.Out.empty());
    }
    EXPECT_TRUE(Dir.Files().empty()) << "an output or temporary file was left behind";
}

TEST_F(Pngconv, FailuresLeaveNoFileAndKeepAnExistingTarget) {
    const std::string good = kSuite + "/basn2c08.png";
    WriteFile(Dir / "bad.pam", "P7\nWIDTH 2\nHEIGHT 2\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\nshort");
    struct Case {
        const char* Name;
        std::vector<std::string> Args;  // the target replaces "TARGET", else is appended
        std::string ErrStart;
        int Status;  // 2 for a wrong command line
    } cases[] = {
        {"missing input", {(Dir / "nothing.png").string()}, "pngconv: ", 1},
        {"unknown input extension", {(Dir / "bad.xyz").string()}, "pngconv: " + (Dir / "bad.xyz").string() + ": Unknown picture file extension", 1},
        {"broken PAM input", {(Dir / "bad.pam").string()}, "pngconv: " + (Dir / "bad.pam").string() + ": PAM: image data truncated", 1},
        {"IDAT size below range", {good, "--idat-size", "255"},
         "pngconv: " + (Dir / "target.png").string() + ": Write PNG Param: Err IDAT Size(min:256  max:100000)", 1},
        {"IDAT size above range", {good, "--idat-size", "100001"},
         "pngconv: " + (Dir / "target.png").string() + ": Write PNG Param: Err IDAT Size(min:256  max:100000)", 1},
        {"filter out of range", {good, "--filter", "6"}, "pngconv: --filter needs", 2},
        {"level not a number", {good, "--level", "high"}, "pngconv: --level needs", 2},
        {"negative gamma", {good, "--gamma", "-1"}, "pngconv: --gamma needs", 2},
        {"gamma too large", {good, "--gamma", "50000"}, "pngconv: --gamma needs", 2},
        {"option without value", {good, "TARGET", "--comment"}, "pngconv: --comment needs a value", 2},
        {"unknown option", {good, "--fast"}, "pngconv: unknown option --fast", 2},
        {"no output", {good}, "pngconv: give an INPUT and an OUTPUT", 2},
    };
    const std::string previous = "previous content";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        WriteFile(Dir / "target.png", previous);
        std::vector<std::string> args = c.Args;
        const std::string target = (Dir / "target.png").string();
        const auto placeholder = std::find(args.begin(), args.end(), "TARGET");
        if (placeholder != args.end())
            *placeholder = target;
        else if (std::string(c.Name) != "no output")
            args.push_back(target);
        const RunResult r = RunTool(args, Dir);
        EXPECT_EQ(r.Status, c.Status);
        EXPECT_EQ(r.Err.rfind(c.ErrStart, 0), 0u) << r.Err;
        EXPECT_EQ(AsText(ReadFile(Dir / "target.png")), previous);
        EXPECT_EQ(Dir.Files(), (std::vector<std::string>{"bad.pam", "target.png"}));
    }
}

TEST_F(Pngconv, OutputFormatAndOptionsAreChecked) {
    const std::string good = kSuite + "/basn2c08.png";
    struct Case {
        const char* Name;
        std::vector<std::string> Args;
        std::string ErrStart;
        int Status;  // 2 for a wrong command line
    } cases[] = {
        {"unknown output extension", {good, (Dir / "out.gif").string()}, "pngconv: cannot tell the format", 2},
        {"no output extension", {good, (Dir / "out").string()}, "pngconv: cannot tell the format", 2},
        {"PNG option with PAM output", {good, (Dir / "out.pam").string(), "--interlace"},
         "pngconv: the save options apply only to PNG output", 2},
        {"info with a save option", {"--info", good, "--gray"}, "pngconv: --info takes", 2},
        {"info without a file", {"--info"}, "pngconv: --info takes", 2},
        {"nothing at all", {}, "pngconv: give an INPUT", 2},
        {"output folder missing", {good, (Dir / "no/such/out.png").string()}, "pngconv: cannot write", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        const RunResult r = RunTool(c.Args, Dir);
        EXPECT_EQ(r.Status, c.Status);
        EXPECT_EQ(r.Err.rfind(c.ErrStart, 0), 0u) << r.Err;
        EXPECT_TRUE(Dir.Files().empty());
    }
}

TEST_F(Pngconv, MalformedPamHeadersAreRejected) {
    struct Case {
        const char* Name;
        std::string Data;
        const char* Message;
    } cases[] = {
        {"empty file", "", "PAM: header ends early"},
        {"other netpbm kind", "P6\n1 1\n255\nabc", "PAM: not a PAM file"},
        {"no ENDHDR", "P7\nWIDTH 1\nHEIGHT 1\nDEPTH 3\nMAXVAL 255\n", "PAM: header ends early"},
        {"missing HEIGHT", "P7\nWIDTH 1\nDEPTH 3\nMAXVAL 255\nENDHDR\nabc", "PAM: WIDTH, HEIGHT, DEPTH or MAXVAL missing"},
        {"zero width", "P7\nWIDTH 0\nHEIGHT 1\nDEPTH 3\nMAXVAL 255\nENDHDR\n", "PAM: header value out of range"},
        {"huge width", "P7\nWIDTH 99999999\nHEIGHT 99999999\nDEPTH 4\nMAXVAL 255\nENDHDR\n",
         "PAM: header value out of range"},
        {"width not a number", "P7\nWIDTH 1x\nHEIGHT 1\nDEPTH 3\nMAXVAL 255\nENDHDR\nabc", "PAM: bad number in header"},
        {"negative height", "P7\nWIDTH 1\nHEIGHT -1\nDEPTH 3\nMAXVAL 255\nENDHDR\nabc", "PAM: bad number in header"},
        {"depth 5", "P7\nWIDTH 1\nHEIGHT 1\nDEPTH 5\nMAXVAL 255\nENDHDR\nabcde", "PAM: unsupported DEPTH or TUPLTYPE"},
        {"tuple type against depth", "P7\nWIDTH 1\nHEIGHT 1\nDEPTH 3\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\nabc",
         "PAM: unsupported DEPTH or TUPLTYPE"},
        {"16-bit samples", "P7\nWIDTH 1\nHEIGHT 1\nDEPTH 1\nMAXVAL 65535\nENDHDR\nab",
         "PAM: only MAXVAL 1 to 255 is supported"},
        {"repeated field", "P7\nWIDTH 1\nWIDTH 1\nHEIGHT 1\nDEPTH 1\nMAXVAL 255\nENDHDR\na", "PAM: repeated header field"},
        {"unknown field", "P7\nWIDTH 1\nHEIGHT 1\nDEPTH 1\nMAXVAL 255\nCOLOUR red\nENDHDR\na", "PAM: unknown header field"},
        {"sample above MAXVAL", "P7\nWIDTH 1\nHEIGHT 1\nDEPTH 1\nMAXVAL 15\nENDHDR\n\x10", "PAM: sample above MAXVAL"},
        {"huge size with little data", "P7\nWIDTH 100000\nHEIGHT 100000\nDEPTH 4\nMAXVAL 255\nENDHDR\nabcd",
         "PAM: image data truncated"},
        {"endless header", "P7\n" + std::string(5000, '#'), "PAM: header too long"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        WriteFile(Dir / "in.pam", c.Data);
        const RunResult r = RunTool({(Dir / "in.pam").string(), (Dir / "out.png").string()}, Dir);
        EXPECT_EQ(r.Status, 1);
        EXPECT_EQ(r.Err, "pngconv: " + (Dir / "in.pam").string() + ": " + c.Message + "\n");
        EXPECT_EQ(Dir.Files(), std::vector<std::string>{"in.pam"});
    }
}

// ---- PAM input --------------------------------------------------------------

TEST_F(Pngconv, PamVariantsAreReadAndScaled) {
    struct Case {
        const char* Name;
        std::string Data;
        Bytes Rgba;  // the PAM written back from the PNG
    } cases[] = {
        {"grey, MAXVAL 15, with comments",
         std::string("P7\n# made by hand\nWIDTH 2\nHEIGHT 1\nDEPTH 1\nMAXVAL 15\nTUPLTYPE GRAYSCALE\nENDHDR\n") +
             std::string("\x00\x0f", 2),
         {0, 0, 0, 255, 255, 255, 255, 255}},
        {"grey with alpha", "P7\nWIDTH 1\nHEIGHT 1\nDEPTH 2\nMAXVAL 255\nTUPLTYPE GRAYSCALE_ALPHA\nENDHDR\n\x80\x40",
         {0x80, 0x80, 0x80, 0x40}},
        {"RGB without TUPLTYPE", "P7\nWIDTH 1\nHEIGHT 2\nDEPTH 3\nMAXVAL 255\nENDHDR\n\x01\x02\x03\xff\xfe\xfd",
         {1, 2, 3, 255, 255, 254, 253, 255}},
        {"RGBA", std::string("P7\r\nWIDTH 2\r\nHEIGHT 1\r\nDEPTH 4\r\nMAXVAL 255\r\nTUPLTYPE RGB_ALPHA\r\nENDHDR\n")
                 + std::string("\x10\x20\x30\x00\x40\x50\x60\xff", 8),
         {0x10, 0x20, 0x30, 0, 0x40, 0x50, 0x60, 255}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        WriteFile(Dir / "in.pam", c.Data);
        RunResult r = RunTool({(Dir / "in.pam").string(), (Dir / "mid.png").string()}, Dir);
        ASSERT_EQ(r.Status, 0) << r.Err;
        r = RunTool({(Dir / "mid.png").string(), (Dir / "out.pam").string()}, Dir);
        ASSERT_EQ(r.Status, 0) << r.Err;
        Pam p;
        ASSERT_TRUE(ParsePam(ReadFile(Dir / "out.pam"), p));
        EXPECT_TRUE(p.Data == c.Rgba);
        const RunResult info = RunTool({"--info", (Dir / "mid.png").string()}, Dir);
        const bool alpha = c.Rgba[3] != 255 || c.Rgba[7] != 255;
        EXPECT_EQ(InfoLines(info.Out)["has alpha"], alpha ? "yes" : "no");
    }
}

// ---- options ----------------------------------------------------------------

TEST_F(Pngconv, SaveOptionsShapeThePngFile) {
    const std::string input = kSuite + "/basn2c08.png";
    const fs::path reference = Dir / "reference.pam";
    ASSERT_EQ(RunTool({input, reference.string()}, Dir).Status, 0);
    const std::string utf8Comment = "\xe6\xbc\xa2\xe5\xad\x97 text";
    struct Case {
        const char* Name;
        std::vector<std::string> Options;
        const char* Key;
        std::string Value;
    } cases[] = {
        {"interlace", {"--interlace"}, "interlace", "1 (Adam7)"},
        {"no interlace by default", {}, "interlace", "0 (none)"},
        {"grey", {"--gray"}, "colour type", "0 (grey)"},
        {"comment kept as UTF-8", {"--comment", utf8Comment}, "comment", utf8Comment},
        {"no time", {"--no-time"}, "time", "none"},
        {"gamma", {"--gamma", "2.2"}, "gamma", "2.20000"},
        {"no gamma", {"--gamma", "0"}, "gamma", "none"},
        {"filter Paeth", {"--filter", "5"}, "width", "32"},
        {"adaptive filter, level 0", {"--filter", "0", "--level", "0"}, "width", "32"},
        {"small IDAT chunks", {"--idat-size", "256"}, "height", "32"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        std::vector<std::string> args{input, (Dir / "out.png").string()};
        args.insert(args.end(), c.Options.begin(), c.Options.end());
        RunResult r = RunTool(args, Dir);
        ASSERT_EQ(r.Status, 0) << r.Err;
        r = RunTool({"--info", (Dir / "out.png").string()}, Dir);
        ASSERT_EQ(r.Status, 0) << r.Err;
        EXPECT_EQ(InfoLines(r.Out)[c.Key], c.Value);
        if (std::string(c.Name) != "grey") {
            r = RunTool({(Dir / "out.png").string(), (Dir / "out.pam").string()}, Dir);
            ASSERT_EQ(r.Status, 0) << r.Err;
            EXPECT_TRUE(ReadFile(Dir / "out.pam") == ReadFile(reference)) << "the pixels changed";
        }
    }
    // The suite file is 3 KiB of compressed data: 256-byte chunks split it.
    ASSERT_EQ(RunTool({input, (Dir / "split.png").string(), "--idat-size", "256", "--level", "0"}, Dir).Status, 0);
    EXPECT_GT(Count(ChunkTypes(ReadFile(Dir / "split.png")), "IDAT"), 4);
    ASSERT_EQ(RunTool({input, (Dir / "timed.png").string()}, Dir).Status, 0);
    EXPECT_EQ(Count(ChunkTypes(ReadFile(Dir / "timed.png")), "tIME"), 1);
    ASSERT_EQ(RunTool({input, (Dir / "untimed.png").string(), "--no-time"}, Dir).Status, 0);
    EXPECT_EQ(Count(ChunkTypes(ReadFile(Dir / "untimed.png")), "tIME"), 0);
}

TEST_F(Pngconv, BmpCarriesOpaqueImagesBothWays) {
    for (const char* name : {"basn2c08", "basn3p04", "basn0g08"}) {
        SCOPED_TRACE(name);
        const std::string input = kSuite + "/" + name + ".png";
        ASSERT_EQ(RunTool({input, (Dir / "a.pam").string()}, Dir).Status, 0);
        ASSERT_EQ(RunTool({input, (Dir / "b.bmp").string()}, Dir).Status, 0);
        ASSERT_EQ(RunTool({(Dir / "b.bmp").string(), (Dir / "c.png").string()}, Dir).Status, 0);
        ASSERT_EQ(RunTool({(Dir / "c.png").string(), (Dir / "d.pam").string()}, Dir).Status, 0);
        EXPECT_TRUE(ReadFile(Dir / "a.pam") == ReadFile(Dir / "d.pam"));
    }
}

TEST_F(Pngconv, HelpNamesEveryCommandAndOption) {
    const RunResult r = RunTool({"--help"}, Dir);
    EXPECT_EQ(r.Status, 0);
    for (const char* word : {"--info", "--interlace", "--filter", "--level", "--idat-size", "--gray", "--comment",
                             "--no-time", "--gamma", "--optimize[=LEVEL]", "16-bit samples are saved as 8 bits", ".png", ".bmp", ".pam", "gray-index form", "not\n                    valid for other readers"})
        EXPECT_NE(r.Out.find(word), std::string::npos) << word;
}

// ---- PNG -> PNG ---------------------------------------------------------------

// What a re-save must keep, as --info reports it.
const char* const kKeptKeys[] = {"gamma", "comment", "background colour", "transparent colour", "has alpha"};

TEST_F(Pngconv, PngResavedIsValidAndKeepsPixelsAndMetadata) {
    struct Case {
        std::string Name;
        fs::path Input;
    };
    std::vector<Case> cases;
    for (const SuiteImage& s : Manifest())
        if (s.Reference != "-") cases.push_back({s.Name, kSuite + "/" + s.Name + ".png"});
    // Files whose re-save was invalid or lossy: partial palette alpha,
    // 16-bit samples with 13 significant bits, gAMA values that a
    // truncating save drifted, several comments.
    auto bytePattern = [](size_t i) { return uint8_t(i * 37 + i / 7); };
    auto indexPattern = [](size_t i) { return uint8_t(i % 4); };
    const struct {
        const char* Name;
        Bytes File;
    } built[] = {
        {"palette with partial alpha",
         MakePng(16, 16, 8, 3, 16,
                 {{"PLTE", {255, 0, 0, 0, 255, 0, 0, 0, 255, 9, 9, 9}}, {"tRNS", {255, 128, 0, 64}}}, indexPattern)},
        {"16-bit with 13 significant bits", MakePng(8, 8, 16, 2, 48, {{"sBIT", {13, 13, 13}}}, bytePattern)},
        {"gamma 35000", MakePng(4, 4, 8, 2, 12, {{"gAMA", Be32Bytes(35000)}}, bytePattern)},
        {"gamma 70000", MakePng(4, 4, 8, 2, 12, {{"gAMA", Be32Bytes(70000)}}, bytePattern)},
        {"two comments",
         MakePng(4, 4, 8, 0, 4, {{"tEXt", TextBytes(std::string("Comment\0first", 13))},
                                 {"tEXt", TextBytes(std::string("Comment\0second", 14))}}, bytePattern)},
    };
    for (const auto& b : built) {
        const fs::path path = Dir / (std::string("built-") + std::to_string(cases.size()) + ".png");
        WriteFile(path, AsText(b.File));
        cases.push_back({b.Name, path});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        const fs::path out = Dir / "resaved.png";
        const RunResult r = RunTool({c.Input.string(), out.string()}, Dir);
        ASSERT_EQ(r.Status, 0) << r.Err;
        std::string check;
        EXPECT_EQ(RunCommand("pngcheck -q '" + out.string() + "'", check), 0) << check;
        const Bytes before = DecodedRgba(c.Input, Dir);
        ASSERT_FALSE(before.empty());
        EXPECT_TRUE(DecodedRgba(out, Dir) == before) << "the RGBA pixels changed";
        auto was = InfoLines(RunTool({"--info", c.Input.string()}, Dir).Out);
        auto now = InfoLines(RunTool({"--info", out.string()}, Dir).Out);
        for (const char* key : kKeptKeys) EXPECT_EQ(now[key], was[key]) << key;
    }
    EXPECT_GE(cases.size(), 88u);
}

// The optimising save keeps the pixels and the metadata, writes no
// interlace unless asked, and takes only the two levels.
TEST_F(Pngconv, OptimizeKeepsPixelsAndMetadataAndChecksItsLevel) {
    const struct {
        const char* Name;
        std::vector<std::string> Options;
        const char* Interlace;
    } cases[] = {
        {"bgan6a16", {"--optimize"}, "0 (none)"},
        {"tbyn3p08", {"--optimize"}, "0 (none)"},
        {"basi0g04", {"--optimize"}, "0 (none)"},
        {"tbrn2c08", {"--optimize=2"}, "0 (none)"},
        {"basn3p04", {"--optimize", "--interlace", "--comment", "kept"}, "1 (Adam7)"},
        {"tp1n3p08", {"--optimize=1", "--gray"}, "0 (none)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        const fs::path input = kSuite + "/" + c.Name + ".png";
        const fs::path normal = Dir / "normal.png", out = Dir / "optimised.png";
        std::vector<std::string> args{input.string(), out.string()};
        args.insert(args.end(), c.Options.begin(), c.Options.end());
        RunResult r = RunTool(args, Dir);
        ASSERT_EQ(r.Status, 0) << r.Err;
        // The same save without --optimize is the reference.
        args[1] = normal.string();
        args.erase(args.begin() + 2);
        ASSERT_EQ(RunTool(args, Dir).Status, 0);
        std::string check;
        EXPECT_EQ(RunCommand("pngcheck -q '" + out.string() + "'", check), 0) << check;
        EXPECT_TRUE(DecodedRgba(out, Dir) == DecodedRgba(normal, Dir)) << "the RGBA pixels changed";
        auto was = InfoLines(RunTool({"--info", normal.string()}, Dir).Out);
        auto now = InfoLines(RunTool({"--info", out.string()}, Dir).Out);
        for (const char* key : {"gamma", "comment", "resolution"}) EXPECT_EQ(now[key], was[key]) << key;
        EXPECT_EQ(now["interlace"], c.Interlace);
        EXPECT_LE(fs::file_size(out), fs::file_size(normal));
    }
    const std::string good = kSuite + "/basn2c08.png";
    for (const std::vector<std::string>& bad : std::vector<std::vector<std::string>>{
             {"--optimize=3"}, {"--optimize=0"}, {"--optimize="}, {"--optimize=x"}}) {
        SCOPED_TRACE(bad[0]);
        std::vector<std::string> args{good, (Dir / "bad.png").string()};
        args.insert(args.end(), bad.begin(), bad.end());
        const RunResult r = RunTool(args, Dir);
        EXPECT_EQ(r.Status, 2);
        EXPECT_EQ(r.Err.rfind("pngconv: --optimize takes LEVEL 1 (quick) or 2 (thorough)", 0), 0u) << r.Err;
        EXPECT_FALSE(fs::exists(Dir / "bad.png"));
    }
    const RunResult r = RunTool({good, (Dir / "bad.png").string(), "--optimize", "--filter", "0"}, Dir);
    EXPECT_EQ(r.Status, 2);
    EXPECT_NE(r.Err.find("drop --filter and --level"), std::string::npos) << r.Err;
}

TEST_F(Pngconv, CommentsSurviveResavesAndReadBackInPil) {
    const struct {
        const char* Name;
        std::string Text;
        const char* Chunk;
    } cases[] = {
        {"ASCII", "abc", "tEXt"},
        {"Latin-1", "caf\xc3\xa9 cr\xc3\xa8me", "tEXt"},
        {"Japanese", "\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e", "iTXt"},
        {"two lines", "first\r\nsecond", "tEXt"},
    };
    const std::string input = kSuite + "/basn2c08.png";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        const fs::path first = Dir / "c0.png";
        ASSERT_EQ(RunTool({input, first.string(), "--comment", c.Text}, Dir).Status, 0);
        EXPECT_EQ(Count(ChunkTypes(ReadFile(first)), c.Chunk), c.Chunk == std::string("tEXt") ? 2 : 1);
        fs::path last = first;
        for (int i = 1; i <= 3; ++i) {
            const fs::path next = Dir / ("c" + std::to_string(i) + ".png");
            ASSERT_EQ(RunTool({last.string(), next.string()}, Dir).Status, 0);
            last = next;
        }
        std::string escaped = c.Text;
        for (size_t at; (at = escaped.find("\r\n")) != std::string::npos;) escaped.replace(at, 2, "\\r\\n");
        EXPECT_EQ(InfoLines(RunTool({"--info", last.string()}, Dir).Out)["comment"], escaped);
        std::string check, pil;
        EXPECT_EQ(RunCommand("pngcheck -q '" + last.string() + "'", check), 0) << check;
        ASSERT_EQ(RunCommand("/usr/bin/python3 -c \"import sys; from PIL import Image; "
                        "sys.stdout.buffer.write(Image.open(sys.argv[1]).text['Comment'].encode('utf-8'))\" '" +
                            last.string() + "'",
                        pil),
                  0)
            << pil;
        EXPECT_EQ(pil, c.Text);
    }
}

TEST_F(Pngconv, InfoReadsTheChunksAloneOfSeveralFiles) {
    // 60000 x 60000 with a few bytes of image data: a decode would need
    // gigabytes, the chunks answer at once.
    Bytes huge = {137, 80, 78, 71, 13, 10, 26, 10};
    Bytes ihdr = Be32Bytes(60000);
    PutBe32(ihdr, 60000);
    ihdr.insert(ihdr.end(), {8, 6, 0, 0, 0});
    AddChunk(huge, "IHDR", ihdr);
    AddChunk(huge, "cHRM", [] {
        Bytes b;
        for (uint32_t v : {31270u, 32900u, 64000u, 33000u, 30000u, 60000u, 15000u, 6000u}) PutBe32(b, v);
        return b;
    }());
    AddChunk(huge, "zTXt", TextBytes(std::string("Title\0\0", 7) + Zlib("a title")));
    AddChunk(huge, "zTXt", TextBytes(std::string("Author\0\0x", 9)));
    AddChunk(huge, "iTXt", TextBytes(std::string("Comment\0\1\0\0\0", 12) + Zlib("\xe6\x97\xa5")));
    AddChunk(huge, "IDAT", {0x78, 0x9c, 0x03, 0x00});
    AddChunk(huge, "IEND", {});
    huge.back() ^= 1;  // the IEND CRC
    WriteFile(Dir / "huge.png", AsText(huge));
    const RunResult r = RunTool({"--info", (Dir / "huge.png").string(), kSuite + "/xc1n0g08.png",
                                 kSuite + "/ct1n0g04.png"}, Dir);
    EXPECT_EQ(r.Status, 1);
    // The header is answered from the chunks; the few bytes of image data
    // then fail as they fail a load, after the report.
    EXPECT_EQ(r.Err, "pngconv: " + (Dir / "huge.png").string() + ": Read Image (PNG): Read Error\npngconv: " + kSuite +
                         "/xc1n0g08.png: Read Header(PNG): Error ColorType\n");
    const size_t split = r.Out.find("\n\n");
    ASSERT_NE(split, std::string::npos);
    const std::string first = r.Out.substr(0, split + 1), second = r.Out.substr(split + 2);
    EXPECT_EQ(first.rfind("file: " + (Dir / "huge.png").string() + "\n", 0), 0u) << first;
    for (const char* line : {"chunk: IHDR 13\nchunk: cHRM 32\nchunk: zTXt 22\nchunk: zTXt 9\nchunk: iTXt 23\nchunk: IDAT 4\n"
                             "chunk: IEND 0 (CRC mismatch)\n",
                             "width: 60000\n", "height: 60000\n", "colour type: 6 (truecolour with alpha)\n",
                             "chromaticity: white 0.31270 0.32900, red 0.64000 0.33000, green 0.30000 0.60000, "
                             "blue 0.15000 0.06000\n",
                             "text: Title (zTXt): a title\ntext: Author (zTXt) unreadable\ntext: Comment (iTXt): \xe6\x97\xa5\n",
                             "comment: \xe6\x97\xa5\n"})
        EXPECT_NE(first.find(line), std::string::npos) << line;
    EXPECT_EQ(second.rfind("file: " + kSuite + "/ct1n0g04.png\n", 0), 0u) << second;
    for (const char* key : {"Title", "Author", "Copyright", "Description", "Software", "Disclaimer"})
        EXPECT_NE(second.find(std::string("text: ") + key + " (tEXt): "), std::string::npos) << key;
}

// --info inflates the image data without keeping them, and fails a file
// exactly when a load fails it: each case is also converted, and both
// must agree.
TEST_F(Pngconv, InfoFailsWhereTheImageDataFailALoad) {
    // 4 x 3 grey, 8 bits: 3 rows of 5 bytes; interlaced, the seven passes
    // hold 18 bytes.
    const auto rows = [](int count, uint8_t filter) {
        Bytes raw;
        for (int y = 0; y < count; ++y) {
            raw.push_back(y == 1 ? filter : 0);
            raw.insert(raw.end(), {uint8_t(y), 2, 3, 4});
        }
        return raw;
    };
    const auto file = [](const std::vector<ChunkSpec>& middle, uint8_t interlace) {
        Bytes f = {137, 80, 78, 71, 13, 10, 26, 10};
        Bytes ihdr = Be32Bytes(4);
        PutBe32(ihdr, 3);
        ihdr.insert(ihdr.end(), {8, 0, 0, 0, interlace});
        AddChunk(f, "IHDR", ihdr);
        for (const ChunkSpec& c : middle) AddChunk(f, c.Type, c.Data);
        AddChunk(f, "IEND", {});
        return f;
    };
    const Bytes whole = TextBytes(Zlib(AsText(rows(3, 0))));
    const Bytes head(whole.begin(), whole.begin() + 6), tail(whole.begin() + 6, whole.end());
    Bytes damaged = whole;
    damaged[2] = 0xFF;  // a final block of the reserved type
    const std::string failed = "Read Image (PNG): Read Error";
    struct Case {
        const char* Name;
        std::vector<ChunkSpec> Middle;
        uint8_t Interlace;
        std::string Message;  // empty: the file loads
    } cases[] = {
        {"complete", {{"IDAT", whole}}, 0, ""},
        {"split, an empty IDAT between", {{"IDAT", head}, {"IDAT", {}}, {"IDAT", tail}}, 0, ""},
        {"data after the last row", {{"IDAT", TextBytes(Zlib(AsText(rows(4, 0))))}}, 0, ""},
        {"stream cut short", {{"IDAT", head}}, 0, failed},
        {"another chunk within the image data", {{"IDAT", head}, {"tEXt", TextBytes("a\0b")}, {"IDAT", tail}}, 0, failed},
        {"stream ends before the last row", {{"IDAT", TextBytes(Zlib(AsText(rows(2, 0))))}}, 0, failed},
        {"damaged data", {{"IDAT", damaged}}, 0, failed},
        {"unknown filter type", {{"IDAT", TextBytes(Zlib(AsText(rows(3, 5))))}}, 0, failed},
        {"interlaced, rows of one pass only", {{"IDAT", whole}}, 1, failed},
        {"interlaced, all seven passes", {{"IDAT", TextBytes(Zlib(AsText(rows(3, 0)) + "abc"))}}, 1, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        const fs::path in = Dir / "in.png";
        WriteFile(in, AsText(file(c.Middle, c.Interlace)));
        const RunResult info = RunTool({"--info", in.string()}, Dir);
        const RunResult load = RunTool({in.string(), (Dir / "out.pam").string()}, Dir);
        EXPECT_EQ(info.Status, c.Message.empty() ? 0 : 1);
        EXPECT_EQ(info.Err, c.Message.empty() ? "" : "pngconv: " + in.string() + ": " + c.Message + "\n");
        EXPECT_EQ(InfoLines(info.Out)["file"], in.string());
        EXPECT_EQ(load.Status, info.Status) << load.Err;
        EXPECT_EQ(load.Err, info.Err);
        fs::remove(Dir / "out.pam");
    }
    // Rows too wide for the decoder fail at the image data, by the header.
    Bytes wide = {137, 80, 78, 71, 13, 10, 26, 10};
    Bytes ihdr = Be32Bytes(0x7FFFFFFF);
    PutBe32(ihdr, 1);
    ihdr.insert(ihdr.end(), {16, 6, 0, 0, 0});
    AddChunk(wide, "IHDR", ihdr);
    AddChunk(wide, "IDAT", whole);
    WriteFile(Dir / "wide.png", AsText(wide));
    const RunResult info = RunTool({"--info", (Dir / "wide.png").string()}, Dir);
    const RunResult load = RunTool({(Dir / "wide.png").string(), (Dir / "out.pam").string()}, Dir);
    EXPECT_EQ(info.Err, "pngconv: " + (Dir / "wide.png").string() + ": Read Header(PNG): Error ImageSize\n");
    EXPECT_EQ(load.Err, info.Err);
}

}  // namespace

// Binary netpbm: P5 and P6 with 8- and 16-bit samples are read (as their
// RGBA through PAM), and .pgm and .ppm are written as P5 and P6.
TEST(PngconvNetpbm, GreyAndPixelMapsBothWays) {
    const ScratchDir dir;
    struct Case {
        const char* Name;
        std::string Input;  // written as in.ppm
        Bytes Rgba;         // of the PAM converted from it
    } cases[] = {
        {"P6 8-bit, comment", "P6\n# by hand\n2 1\n255\n\x01\x02\x03\xfd\xfe\xff", {1, 2, 3, 255, 253, 254, 255, 255}},
        {"P6 16-bit", std::string("P6 1 1 65535\n\x01\x01\x80\x80\xff\xff", 19), {1, 128, 255, 255}},
        {"P5 MAXVAL 15", std::string("P5 2 1 15\n\x00\x0f", 12), {0, 0, 0, 255, 255, 255, 255, 255}},
        {"P5 16-bit", "P5 1 1 1000\n\x01\xf4", {128, 128, 128, 255}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        WriteFile(dir / "in.ppm", c.Input);
        const RunResult r = RunTool({(dir / "in.ppm").string(), (dir / "out.pam").string()}, dir);
        ASSERT_EQ(r.Status, 0) << r.Err;
        Pam p;
        ASSERT_TRUE(ParsePam(ReadFile(dir / "out.pam"), p));
        EXPECT_TRUE(p.Data == c.Rgba);
    }
    WriteFile(dir / "in.ppm", "P6\n1 1\n255\n\x10\x80\xf0");
    ASSERT_EQ(RunTool({(dir / "in.ppm").string(), (dir / "out.ppm").string()}, dir).Status, 0);
    EXPECT_EQ(AsText(ReadFile(dir / "out.ppm")), "P6\n1 1\n255\n\x10\x80\xf0");
    ASSERT_EQ(RunTool({(dir / "in.ppm").string(), (dir / "out.pgm").string()}, dir).Status, 0);
    // 0.299 * 0x10 + 0.587 * 0x80 + 0.114 * 0xf0 = 107.28
    EXPECT_EQ(AsText(ReadFile(dir / "out.pgm")), "P5\n1 1\n255\n\x6b");
    WriteFile(dir / "bad.ppm", "P6\n2 2\n255\nshort");
    const RunResult bad = RunTool({(dir / "bad.ppm").string(), (dir / "x.png").string()}, dir);
    EXPECT_EQ(bad.Status, 1);
    EXPECT_EQ(bad.Err, "pngconv: " + (dir / "bad.ppm").string() + ": netpbm: image data truncated\n");
}
