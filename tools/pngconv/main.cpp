// pngconv: converts pictures between PNG, BMP and PAM through the picture
// framework, and shows what the PNG decoder learns from a file.

#include <getopt.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "codec/TavPNG.h"
#include "platform/Exceptions.h"
#include "platform/Graphic.h"
#include "platform/ShiftJis.h"
#include "platform/Streams.h"
#include "tools/common/ReplaceFile.h"
#include "tools/common/ToolErrors.h"
#include "tools/pngconv/NetpbmPicture.h"
#include "tools/pngconv/PamPicture.h"
#include "tools/pngconv/PngInfo.h"

namespace {

const char kHelp[] =
    "Usage:\n"
    "  pngconv [options] INPUT OUTPUT   convert a picture; the formats follow the\n"
    "                                   file extensions: .png, .bmp, .pam,\n"
    "                                   .pgm (P5) and .ppm (P6)\n"
    "  pngconv --info FILE.png          show what the PNG decoder reads from FILE\n"
    "  pngconv --help | --version       show this text, or the version\n"
    "\n"
    "INPUT \"-\" is standard input (its format is told from its content); OUTPUT\n"
    "\"-\" is standard output and needs --format. Options take \"--opt value\" or\n"
    "\"--opt=value\"; \"--\" ends them, so that a file name may begin with '-'.\n"
    "  -f, --format=F    the output's format: png, bmp, pam, pgm or ppm (else its\n"
    "                    extension)\n"
    "\n"
    "PAM files are netpbm PAM, TUPLTYPE RGB_ALPHA with 8-bit samples. They are\n"
    "written with the picture's alpha (or its transparent colour) and read back\n"
    "as a 24-bit image plus an alpha mask when some pixel is not opaque. PGM and\n"
    "PPM files are read with any MAXVAL up to 65535 and written with 8-bit\n"
    "samples, without alpha.\n"
    "BMP files keep alpha: a picture with alpha (or a transparent colour, which\n"
    "becomes alpha) is written as a 32-bit BITMAPV5 file with an alpha mask,\n"
    "and the alpha masks of such files (also ARGB1555\n"
    "and ARGB4444) are read; the fourth byte of a plain 32-bit BMP is not alpha.\n"
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
    "  --optimize[=LEVEL]  save the smallest file that keeps every pixel, the\n"
    "                    transparency and the chunks (comment, gamma, background,\n"
    "                    time, resolution, ...): the smallest exact colour type and\n"
    "                    bit depth (palette, grey of 1 to 8 bits, alpha dropped when\n"
    "                    opaque or replaced by a tRNS colour), the best row filters\n"
    "                    and the strongest compression. LEVEL 1 (the default) is\n"
    "                    quick, 2 thorough. It chooses filter and compression\n"
    "                    itself, so it takes no --filter or --level. The file is\n"
    "                    not interlaced (also when the input was) unless\n"
    "                    --interlace asks for Adam7; --gray saves the grey levels.\n"
    "                    The input's tIME is kept, not stamped anew, and the\n"
    "                    \"Software\" text and the empty private tpNG are left out.\n"
    "                    Pictures beyond 4096 x 4096 pixels go in bands, with the\n"
    "                    choices made on a sample of rows, so that memory stays\n"
    "                    bounded (the files come out larger)\n"
    "\n"
    "The picture holds 8 bits per sample: 16-bit samples are saved as 8 bits,\n"
    "as in every save (also --optimize).\n"
    "\n"
    "Without these options a PNG input keeps its own settings (comment, gamma,\n"
    "background, interlace, ...) when saved as PNG again.\n"
    "\n"
    "--info prints \"key: value\" lines for each file: file, one chunk line per\n"
    "chunk in order (type and length, and a CRC mismatch), width, height, colour\n"
    "type, bit depth, source bit count, bitmap bit count, interlace, palette\n"
    "entries, has alpha, gamma, significant bits, background colour, transparent\n"
    "colour, resolution, time, chromaticity, one text line per tEXt, zTXt and\n"
    "iTXt chunk (key, type and text, compressed text inflated), comment (all\n"
    "as UTF-8). Colours are #RRGGBB or \"palette entry N\"; line breaks are\n"
    "shown as \\r and \\n. Reports are separated by an empty line. The image\n"
    "data are inflated and checked but no pixels are kept. A file that would\n"
    "fail to load is reported on standard error and makes the exit status 1;\n"
    "when only its image data fail, its report is printed first.\n"
    "\n"
    "Exit status: 0 done, 1 failed, 2 a wrong command line. Errors go to standard\n"
    "error, naming the file and the system's reason; on failure the output file is\n"
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
        TPicture::RegisterFileFormat("PGM", "Portable Grey Map", GraphicClassOf<TPgmPicture>());
        TPicture::RegisterFileFormat("PPM", "Portable Pixel Map", GraphicClassOf<TPpmPicture>());
    }
    ~TPamRegistration() {
        TPicture::UnregisterGraphicClass(GraphicClassOf<TPpmPicture>());
        TPicture::UnregisterGraphicClass(GraphicClassOf<TPgmPicture>());
        TPicture::UnregisterGraphicClass(GraphicClassOf<TPamPicture>());
    }
};
const TPamRegistration kPamRegistration;

struct TOptions {
    bool Help = false, Version = false;
    bool Info = false;
    std::string Format;  // the output's format, overriding its extension
    std::vector<std::string> Files;
    bool Interlace = false;
    std::optional<int32_t> Filter, Level, IDATSize;
    bool Gray = false;
    std::optional<std::string> Comment;
    bool NoTime = false;
    std::optional<double> Gamma;
    int32_t Optimize = 0;

    bool AnyPngOption() const {
        return Interlace || Filter || Level || IDATSize || Gray || Comment || NoTime || Gamma || Optimize;
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

// GNU-style options anywhere on the line, as "--level 5" or "--level=5";
// "--" ends them, so that a file name may begin with '-'.
TOptions ParseCommandLine(int argc, char** argv) {
    enum { kInterlace = 256, kFilter, kLevel, kIdatSize, kGray, kComment, kNoTime, kGamma, kOptimize };
    static const option kOptions[] = {
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},
        {"info", no_argument, nullptr, 'i'},
        {"format", required_argument, nullptr, 'f'},
        {"interlace", no_argument, nullptr, kInterlace},
        {"filter", required_argument, nullptr, kFilter},
        {"level", required_argument, nullptr, kLevel},
        {"idat-size", required_argument, nullptr, kIdatSize},
        {"gray", no_argument, nullptr, kGray},
        {"comment", required_argument, nullptr, kComment},
        {"no-time", no_argument, nullptr, kNoTime},
        {"gamma", required_argument, nullptr, kGamma},
        {"optimize", optional_argument, nullptr, kOptimize},
        {nullptr, 0, nullptr, 0},
    };
    TOptions o;
    opterr = 0;
    optind = 0;
    int opt;
    while ((opt = getopt_long(argc, argv, ":hVif:", kOptions, nullptr)) != -1) {
        const std::string value = optarg != nullptr ? optarg : "";
        switch (opt) {
            case 'h': o.Help = true; break;
            case 'V': o.Version = true; break;
            case 'i': o.Info = true; break;
            case 'f': o.Format = value; break;
            case kInterlace: o.Interlace = true; break;
            case kFilter: o.Filter = ParseInt("--filter", value, 0, 5); break;
            case kLevel: o.Level = ParseInt("--level", value, -1, 9); break;
            // The range is the encoder's to check, with its own message.
            case kIdatSize: o.IDATSize = ParseInt("--idat-size", value, INT32_MIN, INT32_MAX); break;
            case kGray: o.Gray = true; break;
            case kComment: o.Comment = value; break;
            case kNoTime: o.NoTime = true; break;
            case kGamma: o.Gamma = ParseGamma(value); break;
            case kOptimize:
                if (optarg == nullptr) o.Optimize = 1;
                else if (value == "1" || value == "2") o.Optimize = value[0] - '0';
                else throw TUsageError{"--optimize takes LEVEL 1 (quick) or 2 (thorough), as --optimize=2, not \"" + value + "\""};
                break;
            case ':': throw TUsageError{std::string(argv[optind - 1]) + " needs a value"};
            default:
                throw TUsageError{"unknown option " +
                                  (optopt > 0 && optopt < 256 ? "-" + std::string(1, char(optopt))
                                                              : std::string(argv[optind - 1]))};
        }
    }
    o.Files.assign(argv + optind, argv + argc);
    if (o.Help || o.Version)
        return o;
    if (o.Info) {
        if (o.Files.empty() || o.AnyPngOption() || !o.Format.empty())
            throw TUsageError{"--info takes one or more files and no other arguments"};
        return o;
    }
    if (o.Files.size() != 2)
        throw TUsageError{"give an INPUT and an OUTPUT file"};
    if (o.Optimize != 0 && (o.Filter || o.Level))
        throw TUsageError{"--optimize chooses the filter and the compression itself: drop --filter and --level"};
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
    if (o.Optimize != 0) {
        png.OptimizeLevel = o.Optimize;
        // An optimised file keeps the source's tIME (or its lack of one)
        // instead of being stamped anew.
        png.UseCurrentTime = false;
        // Adam7 makes files larger: only on request.
        if (!o.Interlace)
            png.Interlace = 0;
    }
}

// Copies source into target. A PNG picture made from a PAM picture also
// takes its alpha, which the framework's bitmap copy would drop.
// The source is not used again after the transfer, so a PNG picture's
// bitmaps move into a PAM picture instead of being copied.
void Transfer(TGraphic& source, TGraphic& target) {
    auto* fromPng = dynamic_cast<TTavPNG*>(&source);
    auto* toPam = dynamic_cast<TPamPicture*>(&target);
    if (fromPng && toPam) {
        toPam->TakeFrom(*fromPng);
        return;
    }
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

// The format a picture's first bytes announce, for standard input, which
// has no extension.
std::string FormatOfContent(TMemoryStream& data) {
    const std::string_view head(reinterpret_cast<const char*>(data.Memory()), size_t(std::min<int64_t>(data.Size(), 8)));
    if (head.substr(0, 4) == "\x89PNG") return "PNG";
    if (head.substr(0, 2) == "BM") return "BMP";
    if (head.substr(0, 2) == "P7") return "PAM";
    if (head.substr(0, 2) == "P5") return "PGM";
    if (head.substr(0, 2) == "P6") return "PPM";
    return {};
}

// Reads the picture from a file by its extension, or from standard input
// ("-") by its content. Failures name the input and the system's reason.
void LoadInput(const std::string& input, TPicture& picture) {
    try {
        if (input != "-") {
            picture.LoadFromFile(input);
            return;
        }
        TMemoryStream data;
        TDescriptorStream in(0);
        std::vector<uint8_t> chunk(65536);
        for (int64_t n; (n = in.Read(chunk.data(), int64_t(chunk.size()))) > 0;) data.WriteBuffer(chunk.data(), n);
        if (in.Error() != 0) throw FileError("read", "standard input", in.Error());
        TGraphicClass graphicClass = TPicture::FindGraphicClass(FormatOfContent(data));
        if (!graphicClass) throw TToolError("standard input: not a PNG, BMP, PAM, PGM or PPM picture");
        std::unique_ptr<TGraphic> graphic = GuardAlloc([&] { return graphicClass->Create(); });
        data.SetPosition(0);
        graphic->LoadFromStream(data);
        picture.SetGraphic(std::move(graphic));
    } catch (const Exception& e) {
        throw TToolError(DescribeFrameworkError(e, input == "-" ? "standard input" : input, errno));
    }
}

// Saves through stream; a failed transfer is the system's to explain, the
// picture's own error then being only its consequence.
void Save(TGraphic& picture, TDescriptorStream& stream, const std::string& name) {
    try {
        picture.SaveToStream(stream);
    } catch (const Exception& e) {
        if (stream.Error() != 0) throw FileError("write", name, stream.Error());
        throw TToolError(DescribeFrameworkError(e, name));
    }
    if (stream.Error() != 0) throw FileError("write", name, stream.Error());
}

int Convert(const TOptions& o) {
    const std::string& input = o.Files[0];
    const std::string& output = o.Files[1];
    if (output == "-" && o.Format.empty())
        throw TUsageError{"standard output needs --format"};
    const std::string format = o.Format.empty() ? ExtensionOf(output) : o.Format;
    TGraphicClass outputClass = TPicture::FindGraphicClass(format);
    if (!outputClass)
        throw TUsageError{"cannot tell the format of " + output + " (use .png, .bmp, .pam, .pgm or .ppm, or --format)"};
    if (o.AnyPngOption() && outputClass->Name != TTavPNG::StaticClassName)
        throw TUsageError{"the save options apply only to PNG output"};

    TPicture picture;
    LoadInput(input, picture);
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

    if (output == "-") {
        TDescriptorStream out(1);
        Save(*result, out, "standard output");
        return 0;
    }
    TReplacementFile file(output);
    Save(*result, file.Stream(), output);
    file.Commit();
    return 0;
}

// One report per file; a file that fails does not stop the others.
int Info(const TOptions& o) {
    int status = 0;
    for (size_t i = 0; i < o.Files.size(); ++i) {
        const std::string& file = o.Files[i];
        try {
            const TPngFileReport report = DescribePngFile(file);
            std::cout << (i > 0 ? "\n" : "") << report.Text << std::flush;
            if (!report.Failure.empty()) {
                std::cerr << "pngconv: " << file << ": " << report.Failure << "\n";
                status = 1;
            }
        } catch (const Exception& e) {
            std::cerr << "pngconv: " << DescribeFrameworkError(e, file, errno) << "\n";
            status = 1;
        }
    }
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    int status = 1;
    try {
        const TOptions options = ParseCommandLine(argc, argv);
        int done = 0;
        if (options.Help)
            std::cout << kHelp;
        else if (options.Version)
            std::cout << "pngconv " << TOBELIN_TOOLS_VERSION << "\n";
        else
            done = options.Info ? Info(options) : Convert(options);
        // What went to standard output counts only once it is written.
        std::cout.flush();
        if (!std::cout) throw FileError("write", "standard output", errno != 0 ? errno : EIO);
        return done;
    } catch (const TUsageError& e) {
        std::cerr << "pngconv: " << e.Message << "\n(see pngconv --help)\n";
        status = 2;
    } catch (const EOutOfMemory&) {
        std::cerr << "pngconv: out of memory\n";
    } catch (const Exception& e) {
        // Framework messages are Shift-JIS; the terminal reads UTF-8.
        std::cerr << "pngconv: " << SjisToUtf8(e.message()) << "\n";
    } catch (const std::bad_alloc&) {
        std::cerr << "pngconv: out of memory\n";
    } catch (const std::exception& e) {
        std::cerr << "pngconv: " << e.what() << "\n";
    }
    return status;
}
