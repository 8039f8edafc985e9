// pngconv: converts pictures between PNG, BMP and PAM through the picture
// framework, and shows what the PNG decoder learns from a file.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "codec/TavPNG.h"
#include "platform/Exceptions.h"
#include "platform/Graphic.h"
#include "platform/ShiftJis.h"
#include "platform/Streams.h"
#include "tools/pngconv/PamPicture.h"
#include "tools/pngconv/PngInfo.h"

namespace {

const char kHelp[] =
    "Usage:\n"
    "  pngconv INPUT OUTPUT [options]   convert a picture; the formats follow the\n"
    "                                   file extensions: .png, .bmp, .pam\n"
    "  pngconv --info FILE.png...       show what each PNG file holds, from its\n"
    "                                   chunks alone (the pixels are not decoded)\n"
    "  pngconv --help                   show this text\n"
    "\n"
    "PAM files are netpbm PAM, TUPLTYPE RGB_ALPHA with 8-bit samples. They are\n"
    "written with the picture's alpha (or its transparent colour) and read back\n"
    "as a 24-bit image plus an alpha mask when some pixel is not opaque.\n"
    "\n"
    "Options for PNG output (they set the picture's save settings):\n"
    "  --interlace       save Adam7-interlaced\n"
    "  --filter N        row filter: 0 adaptive, 1 None, 2 Sub, 3 Up, 4 Average,\n"
    "                    5 Paeth\n"
    "  --level N         zlib compression level 0 to 9, -1 for zlib's default\n"
    "  --idat-size N     bytes of compressed data per IDAT chunk (256 to 100000)\n"
    "  --gray            save as a grey image (colour type 0, or 4 with alpha).\n"
    "                    The codec's gray-index form (colour type 4 with a PLTE\n"
    "                    chunk, palette indices as grey levels) is kept on\n"
    "                    purpose for the program's own round trip; it is not\n"
    "                    valid for other readers, and --gray does not write it\n"
    "  --comment TEXT    store TEXT, written in UTF-8, as the \"Comment\": in a tEXt\n"
    "                    chunk when Latin-1 holds it, else in an iTXt chunk\n"
    "  --no-time         save without a tIME chunk\n"
    "  --gamma X         gAMA value (0.45455 for a new picture; 0 writes none)\n"
    "\n"
    "Without these options a PNG input keeps its own settings (comment, gamma,\n"
    "background, interlace, ...) when saved as PNG again.\n"
    "\n"
    "--info prints \"key: value\" lines for each file: file, one chunk line per\n"
    "chunk in order (type and length, and a CRC mismatch), width, height, colour\n"
    "type, bit depth, source bit count, bitmap bit count, interlace, palette\n"
    "entries, has alpha, gamma, significant bits, background colour, transparent\n"
    "colour, resolution, time, chromaticity, one text line per tEXt, zTXt and\n"
    "iTXt key, comment (as UTF-8). Colours are #RRGGBB or \"palette entry N\";\n"
    "line breaks are shown as \\r and \\n. Reports are separated by an empty\n"
    "line; a file that would fail to load is reported on standard error and\n"
    "makes the exit status 1.\n"
    "\n"
    "Errors go to standard error and the exit status is 1; the output file is\n"
    "then left untouched (it is written beside the target and renamed into\n"
    "place only when complete).\n";

// A bad command line: reported with a hint to --help.
struct TUsageError {
    std::string Message;
};

// Makes "PAM" a picture format for this program's run.
struct TPamRegistration {
    TPamRegistration() {
        TPicture::RegisterFileFormat("PAM", "Portable Arbitrary Map", GraphicClassOf<TPamPicture>());
    }
    ~TPamRegistration() { TPicture::UnregisterGraphicClass(GraphicClassOf<TPamPicture>()); }
};
const TPamRegistration kPamRegistration;

struct TOptions {
    bool Help = false;
    bool Info = false;
    std::vector<std::string> Files;
    bool Interlace = false;
    std::optional<int32_t> Filter, Level, IDATSize;
    bool Gray = false;
    std::optional<std::string> Comment;
    bool NoTime = false;
    std::optional<double> Gamma;

    bool AnyPngOption() const {
        return Interlace || Filter || Level || IDATSize || Gray || Comment || NoTime || Gamma;
    }
};

int32_t ParseInt(const std::string& option, const std::string& text, long low, long high) {
    errno = 0;
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno == ERANGE || value < low || value > high)
        throw TUsageError{option + " needs a whole number from " + std::to_string(low) + " to " +
                          std::to_string(high) + ", not \"" + text + "\""};
    return int32_t(value);
}

double ParseGamma(const std::string& text) {
    errno = 0;
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    // The gAMA chunk holds gamma times 100000 in 32 unsigned bits.
    if (text.empty() || *end != '\0' || errno == ERANGE || !std::isfinite(value) || value < 0 ||
        value * 100000.0 >= 4294967296.0)
        throw TUsageError{"--gamma needs a number from 0 to 42949, not \"" + text + "\""};
    return value;
}

TOptions ParseCommandLine(int argc, char** argv) {
    TOptions o;
    bool optionsDone = false;
    auto valueOf = [&](int& i, const std::string& option) -> std::string {
        if (i + 1 >= argc)
            throw TUsageError{option + " needs a value"};
        return argv[++i];
    };
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (optionsDone || arg.size() < 2 || arg[0] != '-') {
            o.Files.push_back(arg);
        } else if (arg == "--") {
            optionsDone = true;
        } else if (arg == "--help" || arg == "-h") {
            o.Help = true;
        } else if (arg == "--info") {
            o.Info = true;
        } else if (arg == "--interlace") {
            o.Interlace = true;
        } else if (arg == "--filter") {
            o.Filter = ParseInt(arg, valueOf(i, arg), 0, 5);
        } else if (arg == "--level") {
            o.Level = ParseInt(arg, valueOf(i, arg), -1, 9);
        } else if (arg == "--idat-size") {
            // The range is the encoder's to check, with its own message.
            o.IDATSize = ParseInt(arg, valueOf(i, arg), INT32_MIN, INT32_MAX);
        } else if (arg == "--gray") {
            o.Gray = true;
        } else if (arg == "--comment") {
            o.Comment = valueOf(i, arg);
        } else if (arg == "--no-time") {
            o.NoTime = true;
        } else if (arg == "--gamma") {
            o.Gamma = ParseGamma(valueOf(i, arg));
        } else {
            throw TUsageError{"unknown option " + arg};
        }
    }
    if (o.Help)
        return o;
    if (o.Info) {
        if (o.Files.empty() || o.AnyPngOption())
            throw TUsageError{"--info takes one or more files and no other arguments"};
        return o;
    }
    if (o.Files.size() != 2)
        throw TUsageError{"give an INPUT and an OUTPUT file"};
    return o;
}

std::string ExtensionOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    const size_t dot = path.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return {};
    return path.substr(dot + 1);
}

// The output goes to a temporary file beside the target, renamed into
// place by Commit; until then the destructor removes it.
class TTempOutput {
public:
    explicit TTempOutput(const std::string& target) : Target_(target) {
        std::string pattern = target + ".tmp-XXXXXX";
        const int fd = mkstemp(pattern.data());
        if (fd < 0)
            throw Exception("cannot create a file beside " + target + ": " + std::strerror(errno));
        Temp_ = pattern;
        // mkstemp makes the file private; give it the usual mode.
        const mode_t mask = umask(0);
        umask(mask);
        fchmod(fd, 0666 & ~mask);
        close(fd);
    }
    ~TTempOutput() {
        if (!Temp_.empty())
            unlink(Temp_.c_str());
    }
    TTempOutput(const TTempOutput&) = delete;
    TTempOutput& operator=(const TTempOutput&) = delete;

    const std::string& Path() const { return Temp_; }
    void Commit() {
        if (std::rename(Temp_.c_str(), Target_.c_str()) != 0)
            throw Exception("cannot write " + Target_ + ": " + std::strerror(errno));
        Temp_.clear();
    }

private:
    std::string Target_;
    std::string Temp_;
};

void ApplyPngOptions(const TOptions& o, TTavPNG& png) {
    if (o.Interlace)
        png.Interlace = 1;
    if (o.Filter)
        png.FilterMode = uint8_t(*o.Filter);
    if (o.Level)
        png.CompressionLevel = *o.Level;
    if (o.IDATSize)
        png.IDATSize = *o.IDATSize;
    if (o.Gray)
        png.Grayscale = true;
    if (o.Comment)
        png.Comment = *o.Comment;
    if (o.NoTime) {
        png.UseCurrentTime = false;
        png.TimeStamp = TPNGTimeStamp{};  // year 0: not a valid time, so no tIME
    }
    if (o.Gamma)
        png.Gamma = *o.Gamma;
}

// Copies source into target. A PNG picture made from a PAM picture also
// takes its alpha, which the framework's bitmap copy would drop.
void Transfer(TGraphic& source, TGraphic& target) {
    auto* pam = dynamic_cast<TPamPicture*>(&source);
    auto* png = dynamic_cast<TTavPNG*>(&target);
    if (pam && png) {
        png->Assign(pam->Image.get());
        if (pam->HasAlpha) {
            png->AlphaBitmap->Assign(pam->Alpha.get());
            png->HasAlpha = true;
        }
        return;
    }
    target.Assign(&source);
}

int Convert(const TOptions& o) {
    const std::string& input = o.Files[0];
    const std::string& output = o.Files[1];
    TGraphicClass outputClass = TPicture::FindGraphicClass(ExtensionOf(output));
    if (!outputClass)
        throw TUsageError{"cannot tell the format of " + output + " (use .png, .bmp or .pam)"};
    if (o.AnyPngOption() && outputClass->Name != TTavPNG::StaticClassName)
        throw TUsageError{"the save options apply only to PNG output"};

    TPicture picture;
    picture.LoadFromFile(input);
    TGraphic* source = picture.Graphic();

    // A picture of the output's own class is saved as it is, with its
    // settings; any other is converted first.
    std::unique_ptr<TGraphic> converted;
    TGraphic* result = source;
    if (outputClass->Name != source->ClassName()) {
        converted = GuardAlloc([&] { return outputClass->Create(); });
        Transfer(*source, *converted);
        result = converted.get();
    }
    if (auto* png = dynamic_cast<TTavPNG*>(result))
        ApplyPngOptions(o, *png);

    TTempOutput temp(output);
    {
        TFileStream stream(temp.Path(), TFileStream::fmCreate);
        result->SaveToStream(stream);
    }
    temp.Commit();
    return 0;
}

// One report per file; a file that fails does not stop the others.
int Info(const TOptions& o) {
    int status = 0;
    for (size_t i = 0; i < o.Files.size(); ++i) {
        const std::string& file = o.Files[i];
        try {
            const std::string report = DescribePngFile(file);
            std::cout << (i > 0 ? "\n" : "") << report << std::flush;
        } catch (const Exception& e) {
            const std::string where = o.Files.size() > 1 ? file + ": " : "";
            std::cerr << "pngconv: " << where << SjisToUtf8(e.message()) << "\n";
            status = 1;
        }
    }
    return std::cout ? status : 1;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const TOptions options = ParseCommandLine(argc, argv);
        if (options.Help) {
            std::cout << kHelp;
            return 0;
        }
        return options.Info ? Info(options) : Convert(options);
    } catch (const TUsageError& e) {
        std::cerr << "pngconv: " << e.Message << "\n(see pngconv --help)\n";
    } catch (const Exception& e) {
        // Framework messages are Shift-JIS; the terminal reads UTF-8.
        std::cerr << "pngconv: " << SjisToUtf8(e.message()) << "\n";
    } catch (const std::bad_alloc&) {
        std::cerr << "pngconv: out of memory\n";
    } catch (const std::exception& e) {
        std::cerr << "pngconv: " << e.what() << "\n";
    }
    return 1;
}
