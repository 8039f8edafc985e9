// pngconv: converts pictures between PNG, BMP and PAM through the picture
// framework, and shows what the PNG decoder learns from a file.

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
#include "tools/common/ReplaceFile.h"
#include "tools/common/ToolErrors.h"
#include "tools/pngconv/PamPicture.h"
#include "tools/pngconv/PngInfo.h"

namespace {

const char kHelp[] =
    "Usage:\n"
    "  pngconv INPUT OUTPUT [options]   convert a picture; the formats follow the\n"
    "                                   file extensions: .png, .bmp, .pam\n"
    "  pngconv --info FILE.png          show what the PNG decoder reads from FILE\n"
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
    "  --gray            save as a grey image\n"
    "  --comment TEXT    store TEXT in a tEXt \"Comment\" chunk; its bytes are kept\n"
    "                    exactly as given (UTF-8 from a UTF-8 terminal)\n"
    "  --no-time         save without a tIME chunk\n"
    "  --gamma X         gAMA value (0.45455 for a new picture; 0 writes none)\n"
    "\n"
    "Without these options a PNG input keeps its own settings (comment, gamma,\n"
    "background, interlace, ...) when saved as PNG again.\n"
    "\n"
    "--info prints one \"key: value\" line each for: width, height, colour type,\n"
    "bit depth, source bit count, bitmap bit count, interlace, has alpha, gamma,\n"
    "significant bits, background colour, transparent colour, resolution, time,\n"
    "comment. Colours are #RRGGBB or \"palette entry N\"; the comment's line\n"
    "breaks are shown as \\r and \\n.\n"
    "\n"
    "Errors go to standard error and the exit status is 1; the output file is\n"
    "then left untouched (it is written beside the target, flushed to the disk\n"
    "and renamed into place only when complete, also when interrupted).\n";

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
    std::string InfoFile;
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
            if (!o.InfoFile.empty())
                throw TUsageError{"--info takes one file"};
            o.InfoFile = valueOf(i, arg);
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
    if (!o.InfoFile.empty()) {
        if (!o.Files.empty() || o.AnyPngOption())
            throw TUsageError{"--info takes a file and no other arguments"};
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

    TReplacementFile file(output);
    try {
        result->SaveToStream(file.Stream());
    } catch (const Exception&) {
        // A failed transfer is the system's to explain; the picture's own
        // error is only a consequence of it.
        if (file.Stream().Error() != 0)
            throw FileError("write", output, file.Stream().Error());
        throw;
    }
    file.Commit();
    return 0;
}

int Info(const TOptions& o) {
    TGraphicClass pngClass = TPicture::FindGraphicClass("PNG");
    if (!pngClass)
        throw Exception("the PNG format is not registered");
    std::unique_ptr<TGraphic> graphic = GuardAlloc([&] { return pngClass->Create(); });
    auto* png = dynamic_cast<TTavPNG*>(graphic.get());
    if (!png)
        throw Exception("the PNG format is not registered");
    png->LoadFromFile(o.InfoFile);
    std::cout << DescribePng(*png) << std::flush;
    return std::cout ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const TOptions options = ParseCommandLine(argc, argv);
        if (options.Help) {
            std::cout << kHelp;
            return 0;
        }
        return options.InfoFile.empty() ? Convert(options) : Info(options);
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
