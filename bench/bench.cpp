// Decoding and encoding speed of our PNG codec beside libpng, libspng,
// lodepng and stb_image, with the inflate and deflate engines alone (zlib,
// ISA-L, libdeflate) as the floors, on files read into
// memory first. Every contender runs once per round, round after round, so
// that a slow spell of the machine hits all of them alike; medians, minima
// and maxima are over the rounds.
//
//   tobelin_bench [--runs N] [--wall] [--decode-only | --encode-only | --outputs-only] [--record FILE | --check FILE] CORPUS_DIR [NAME...]
//
// Times are the process's CPU time unless --wall asks for the wall clock.
// --record writes the CRC-32 of every file our encoder produced; --check
// compares against such a list and fails when any output changed.
// --outputs-only encodes once per file and mode and times nothing;
// --decode-only and --encode-only time one side only.
#include <png.h>
#include <spng.h>
#include <zlib.h>

#include <lodepng.h>

#include <isa-l/igzip_lib.h>
#include <libdeflate.h>

// stb_image is used the way it is meant to be: compiled into the program.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wsign-compare"
#define STB_IMAGE_STATIC
#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_PNG
#include <stb/stb_image.h>
#pragma GCC diagnostic pop

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "codec/TavPNG.h"
#include "codec/TavZLIB.h"
#include "platform/Streams.h"

namespace {

using TBytes = std::vector<uint8_t>;

const char* const kCorpus[] = {"photo",   "photo-alpha", "grey8",      "grey16",        "palette",
                               "bilevel", "photo-adam7", "screenshot", "photo-nofilter"};

// ---- PNG structure --------------------------------------------------------

uint32_t BE32(const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }

struct THeader {
    uint32_t Width = 0, Height = 0;
    int Depth = 0, ColorType = 0, Interlace = 0;
    TBytes Palette;  // PLTE body
    TBytes Idat;     // every IDAT body, in order
    int Channels() const {
        switch (ColorType) {
        case 2: return 3;
        case 4: return 2;
        case 6: return 4;
        default: return 1;
        }
    }
    size_t RowBytes(uint64_t width) const { return size_t((width * Channels() * Depth + 7) / 8); }
    // Raw pixel bytes, filter bytes not counted.
    size_t RawBytes() const { return RowBytes(Width) * Height; }
    // Bytes that inflate yields: every pass row with its filter byte.
    size_t FilteredBytes() const {
        if (Interlace == 0) return (RowBytes(Width) + 1) * Height;
        static const int kPass[7][4] = {{0, 0, 8, 8}, {0, 4, 8, 8}, {4, 0, 8, 4}, {0, 2, 4, 4},
                                        {2, 0, 4, 2}, {0, 1, 2, 2}, {1, 0, 2, 1}};
        size_t total = 0;
        for (const auto& p : kPass) {
            const uint64_t w = Width > uint32_t(p[1]) ? (Width - p[1] + p[3] - 1) / p[3] : 0;
            const uint64_t h = Height > uint32_t(p[0]) ? (Height - p[0] + p[2] - 1) / p[2] : 0;
            if (w && h) total += (RowBytes(w) + 1) * h;
        }
        return total;
    }
};

THeader ParsePng(const TBytes& file) {
    THeader h;
    if (file.size() < 33 || std::memcmp(file.data(), "\x89PNG\r\n\x1a\n", 8) != 0) throw std::runtime_error("not a PNG file");
    size_t pos = 8;
    while (pos + 12 <= file.size()) {
        const uint32_t len = BE32(&file[pos]);
        const uint8_t* type = &file[pos + 4];
        if (len > file.size() - pos - 12) throw std::runtime_error("chunk runs past the end");
        const uint8_t* body = &file[pos + 8];
        if (!std::memcmp(type, "IHDR", 4)) {
            h.Width = BE32(body);
            h.Height = BE32(body + 4);
            h.Depth = body[8];
            h.ColorType = body[9];
            h.Interlace = body[12];
        } else if (!std::memcmp(type, "PLTE", 4)) {
            h.Palette.assign(body, body + len);
        } else if (!std::memcmp(type, "IDAT", 4)) {
            h.Idat.insert(h.Idat.end(), body, body + len);
        } else if (!std::memcmp(type, "IEND", 4)) {
            break;
        }
        pos += size_t(len) + 12;
    }
    return h;
}

TBytes ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    return TBytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// ---- timing ---------------------------------------------------------------

struct TContender {
    std::string Name;
    std::function<size_t()> Run;  // returns something that depends on the work
    std::vector<double> Ms;
    size_t OutputSize = 0;  // encoders: bytes written
    double Median() const {
        std::vector<double> v = Ms;
        std::sort(v.begin(), v.end());
        const size_t n = v.size();
        return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
    }
    double Min() const { return *std::min_element(Ms.begin(), Ms.end()); }
    double Max() const { return *std::max_element(Ms.begin(), Ms.end()); }
};

volatile size_t gSink = 0;
bool gWallClock = false;

// Milliseconds of the process's CPU time (user and system), or of the wall
// clock. CPU time leaves out the spells in which other programs on a busy
// machine hold the processor; everything measured here is single-threaded.
double NowMs() {
    if (gWallClock)
        return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}

// One untimed warm-up round, then `runs` timed rounds.
void Measure(std::vector<TContender>& all, int runs) {
    for (auto& c : all) gSink = gSink + c.Run();
    for (int r = 0; r < runs; ++r) {
        for (auto& c : all) {
            const double t0 = NowMs();
            const size_t v = c.Run();
            c.Ms.push_back(NowMs() - t0);
            gSink = gSink + v;
        }
    }
}

// ---- decoders ---------------------------------------------------------------

struct TMemReader {
    const TBytes* Data;
    size_t Pos;
};

void ReadFromMemory(png_structp png, png_bytep out, png_size_t n) {
    auto* r = static_cast<TMemReader*>(png_get_io_ptr(png));
    if (n > r->Data->size() - r->Pos) png_error(png, "read past the end");
    std::memcpy(out, r->Data->data() + r->Pos, n);
    r->Pos += n;
}

size_t DecodeLibpng(const TBytes& file) {
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    uint8_t* pixels = nullptr;
    std::vector<png_bytep> rows;
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        std::free(pixels);
        throw std::runtime_error("libpng failed");
    }
    TMemReader reader{&file, 0};
    png_set_read_fn(png, &reader, ReadFromMemory);
    png_read_info(png, info);
    const png_uint_32 h = png_get_image_height(png, info);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    const size_t stride = png_get_rowbytes(png, info);
    pixels = static_cast<uint8_t*>(std::malloc(stride * h));
    rows.resize(h);
    for (png_uint_32 y = 0; y < h; ++y) rows[y] = pixels + y * stride;
    png_read_image(png, rows.data());
    png_read_end(png, nullptr);
    png_destroy_read_struct(&png, &info, nullptr);
    const size_t v = pixels[stride * h / 2];
    std::free(pixels);
    return v + stride;
}

size_t DecodeSpng(const TBytes& file) {
    spng_ctx* ctx = spng_ctx_new(0);
    size_t size = 0;
    if (spng_set_png_buffer(ctx, file.data(), file.size()) || spng_decoded_image_size(ctx, SPNG_FMT_PNG, &size)) {
        spng_ctx_free(ctx);
        throw std::runtime_error("libspng failed");
    }
    auto* out = static_cast<uint8_t*>(std::malloc(size));
    const int e = spng_decode_image(ctx, out, size, SPNG_FMT_PNG, 0);
    spng_ctx_free(ctx);
    const size_t v = out[size / 2];
    std::free(out);
    if (e) throw std::runtime_error(std::string("libspng failed: ") + spng_strerror(e));
    return v + size;
}

size_t DecodeLodepng(const TBytes& file) {
    // Decoded in the file's own colour type and depth, like the others.
    unsigned w = 0, h = 0;
    LodePNGState state;
    lodepng_state_init(&state);
    if (lodepng_inspect(&w, &h, &state, file.data(), file.size())) throw std::runtime_error("lodepng failed");
    const LodePNGColorType type = state.info_png.color.colortype;
    const unsigned depth = state.info_png.color.bitdepth;
    lodepng_state_cleanup(&state);
    unsigned char* out = nullptr;
    if (lodepng_decode_memory(&out, &w, &h, file.data(), file.size(), type, depth))
        throw std::runtime_error("lodepng failed");
    const size_t v = out[0];
    std::free(out);
    return v + w;
}

size_t DecodeStb(const TBytes& file) {
    int w = 0, h = 0, n = 0;
    stbi_uc* out = stbi_load_from_memory(file.data(), int(file.size()), &w, &h, &n, 0);
    if (!out) throw std::runtime_error("stb_image failed");
    const size_t v = out[size_t(w) * h * n / 2];
    stbi_image_free(out);
    return v + size_t(w);
}

size_t DecodeOurs(TMemoryStream& stream, bool twoThreads = false) {
    stream.SetPosition(0);
    TTavPNG picture;
    picture.UseSecondThread = twoThreads;
    picture.LoadFromStream(stream);
    return size_t(picture.GetWidth()) + picture.CurrentImage()->ScanLine(picture.GetHeight() / 2)[0];
}

size_t DecodeOursFromFile(const std::string& path) {
    TTavPNG picture;
    picture.LoadFromFile(path);
    return size_t(picture.GetWidth()) + picture.CurrentImage()->ScanLine(picture.GetHeight() / 2)[0];
}

// zlib alone over the concatenated IDAT data: what no decoder can beat.
size_t InflateAlone(const TBytes& idat, TBytes& out) {
    z_stream z{};
    if (inflateInit(&z) != Z_OK) throw std::runtime_error("inflateInit failed");
    z.next_in = const_cast<Bytef*>(idat.data());
    z.avail_in = uInt(idat.size());
    z.next_out = out.data();
    z.avail_out = uInt(out.size());
    const int r = inflate(&z, Z_FINISH);
    const size_t n = z.total_out;
    inflateEnd(&z);
    if (r != Z_STREAM_END || n != out.size()) throw std::runtime_error("IDAT data does not inflate to the image size");
    return n;
}

// ISA-L alone, streaming, zlib format with its check value: the floor of
// our decoder when it runs on ISA-L.
size_t InflateIsalAlone(const TBytes& idat, TBytes& out) {
    static inflate_state state;
    isal_inflate_init(&state);
    state.crc_flag = ISAL_ZLIB;
    state.next_in = const_cast<uint8_t*>(idat.data());
    state.avail_in = uint32_t(idat.size());
    state.next_out = out.data();
    state.avail_out = uint32_t(out.size());
    const int r = isal_inflate(&state);
    if (r != ISAL_DECOMP_OK || state.block_state != ISAL_BLOCK_FINISH || state.total_out != out.size())
        throw std::runtime_error("ISA-L: IDAT data does not inflate to the image size");
    return state.total_out;
}

// libdeflate alone, one whole buffer.
size_t InflateLibdeflateAlone(const TBytes& idat, TBytes& out) {
    static libdeflate_decompressor* d = libdeflate_alloc_decompressor();
    size_t n = 0;
    if (libdeflate_zlib_decompress(d, idat.data(), idat.size(), out.data(), out.size(), &n) != LIBDEFLATE_SUCCESS ||
        n != out.size())
        throw std::runtime_error("libdeflate: IDAT data does not inflate to the image size");
    return n;
}

// ---- encoders ---------------------------------------------------------------

void WriteToVector(png_structp png, png_bytep data, png_size_t n) {
    auto* out = static_cast<TBytes*>(png_get_io_ptr(png));
    out->insert(out->end(), data, data + n);
}

void FlushNothing(png_structp) {}

// libpng encoding rows of the given layout at zlib's default level with our
// zlib settings (window 15, memory level 8, default strategy).
size_t EncodeLibpng(const THeader& h, const std::vector<png_bytep>& rows, int filters, TBytes& out) {
    out.clear();
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        throw std::runtime_error("libpng write failed");
    }
    png_set_write_fn(png, &out, WriteToVector, FlushNothing);
    png_set_IHDR(png, info, h.Width, h.Height, h.Depth, h.ColorType, h.Interlace, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    std::vector<png_color> palette;
    for (size_t i = 0; i + 2 < h.Palette.size(); i += 3) palette.push_back({h.Palette[i], h.Palette[i + 1], h.Palette[i + 2]});
    if (!palette.empty()) png_set_PLTE(png, info, palette.data(), int(palette.size()));
    png_set_filter(png, PNG_FILTER_TYPE_BASE, filters);
    png_set_compression_level(png, Z_DEFAULT_COMPRESSION);
    png_set_compression_mem_level(png, 8);
    png_set_compression_strategy(png, Z_DEFAULT_STRATEGY);
    png_set_compression_window_bits(png, 15);
    png_write_info(png, info);
    png_write_image(png, const_cast<png_bytepp>(rows.data()));
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return out.size();
}

size_t DeflateAlone(const TBytes& filtered, TBytes& out) {
    z_stream z{};
    if (deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::runtime_error("deflateInit failed");
    z.next_in = const_cast<Bytef*>(filtered.data());
    z.avail_in = uInt(filtered.size());
    z.next_out = out.data();
    z.avail_out = uInt(out.size());
    const int r = deflate(&z, Z_FINISH);
    const size_t n = z.total_out;
    deflateEnd(&z);
    if (r != Z_STREAM_END) throw std::runtime_error("deflate did not finish");
    return n;
}

size_t DeflateLibdeflateAlone(const TBytes& filtered, TBytes& out) {
    static libdeflate_compressor* c = libdeflate_alloc_compressor(6);
    const size_t n = libdeflate_zlib_compress(c, filtered.data(), filtered.size(), out.data(), out.size());
    if (n == 0) throw std::runtime_error("libdeflate did not fit its output");
    return n;
}

size_t EncodeOurs(TTavPNG& picture, TMemoryStream& out) {
    // The stream keeps its capacity, as libpng's output vector does.
    out.SetSize(0);
    out.SetPosition(0);
    picture.SaveToStream(out);
    return size_t(out.Size());
}

// Pixel rows, in the file's layout, decoded by libpng (deinterlaced).
TBytes RowsOf(const TBytes& file, const THeader& h, std::vector<png_bytep>& rows) {
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    TBytes pixels(h.RawBytes());
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        throw std::runtime_error("libpng failed on our output");
    }
    TMemReader reader{&file, 0};
    png_set_read_fn(png, &reader, ReadFromMemory);
    png_read_info(png, info);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    rows.resize(h.Height);
    for (uint32_t y = 0; y < h.Height; ++y) rows[y] = pixels.data() + size_t(y) * h.RowBytes(h.Width);
    png_read_image(png, rows.data());
    png_read_end(png, nullptr);
    png_destroy_read_struct(&png, &info, nullptr);
    return pixels;
}

// ---- report -----------------------------------------------------------------

void PrintTable(const char* title, const std::vector<TContender>& all, size_t ours, size_t floor, bool sizes) {
    std::printf("  %s%*s median      min      max  vs ours  vs floor%s\n", title, int(16 - std::strlen(title)), "",
                sizes ? "        size" : "");
    for (size_t i = 0; i < all.size(); ++i) {
        const TContender& c = all[i];
        std::printf("    %-14s %8.2f %8.2f %8.2f  %6.2fx  %7.2fx", c.Name.c_str(), c.Median(), c.Min(), c.Max(),
                    c.Median() / all[ours].Median(), c.Median() / all[floor].Median());
        if (sizes) std::printf("  %10zu", c.OutputSize);
        std::printf("\n");
    }
}

struct TTarget {
    std::string Text;
    bool Met;
};

int Usage() {
    std::fprintf(stderr,
                 "usage: tobelin_bench [--runs N] [--wall] [--decode-only | --encode-only | --outputs-only] [--record FILE | --check FILE] CORPUS_DIR [NAME...]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    int runs = 7;
    bool outputsOnly = false, decodeOnly = false, encodeOnly = false;
    std::string recordPath, checkPath, dir;
    std::vector<std::string> names;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--runs" && i + 1 < argc)
            runs = std::atoi(argv[++i]);
        else if (a == "--wall")
            gWallClock = true;
        else if (a == "--decode-only")
            decodeOnly = true;
        else if (a == "--encode-only")
            encodeOnly = true;
        else if (a == "--outputs-only")
            outputsOnly = true;
        else if (a == "--record" && i + 1 < argc)
            recordPath = argv[++i];
        else if (a == "--check" && i + 1 < argc)
            checkPath = argv[++i];
        else if (!a.empty() && a[0] == '-')
            return Usage();
        else if (dir.empty())
            dir = a;
        else
            names.push_back(a);
    }
    if (dir.empty() || runs < 1) return Usage();
    if (names.empty()) names.assign(std::begin(kCorpus), std::end(kCorpus));

    std::map<std::string, uint32_t> expected;
    if (!checkPath.empty()) {
        std::ifstream in(checkPath);
        if (!in) {
            std::fprintf(stderr, "tobelin_bench: cannot read %s\n", checkPath.c_str());
            return 2;
        }
        std::string key;
        uint32_t crc;
        while (in >> key >> std::hex >> crc) expected[key] = crc;
    }
    std::map<std::string, uint32_t> produced;
    std::vector<TTarget> targets;

    std::printf("%d timed rounds after one warm-up; %s in milliseconds\n", runs,
                gWallClock ? "wall-clock times" : "process CPU times");
    std::printf("our inflate engine: %s; our deflate engine at the default level: %s\n", ZInflateEngine(),
                ZDeflateEngine());
    try {
        for (const std::string& name : names) {
            const TBytes file = ReadFile(dir + "/" + name + ".png");
            const THeader header = ParsePng(file);
            std::printf("\n%s.png: %u x %u, colour type %d, depth %d%s; %zu file bytes, %zu raw pixel bytes\n",
                        name.c_str(), header.Width, header.Height, header.ColorType, header.Depth,
                        header.Interlace ? ", Adam7" : "", file.size(), header.RawBytes());

            TMemoryStream source;
            source.WriteBuffer(file.data(), int64_t(file.size()));
            // ---- decoding
            if (!outputsOnly && !encodeOnly) {
                TBytes inflated(header.FilteredBytes());
                std::vector<TContender> dec = {
                    {"ours", [&] { return DecodeOurs(source); }, {}, 0},
                    {"libpng", [&] { return DecodeLibpng(file); }, {}, 0},
                    {"libspng", [&] { return DecodeSpng(file); }, {}, 0},
                    {"lodepng", [&] { return DecodeLodepng(file); }, {}, 0},
                    {"stb_image", [&] { return DecodeStb(file); }, {}, 0},
                    {"zlib alone", [&] { return InflateAlone(header.Idat, inflated); }, {}, 0},
                    {"isal alone", [&] { return InflateIsalAlone(header.Idat, inflated); }, {}, 0},
                    {"libdeflate alone", [&] { return InflateLibdeflateAlone(header.Idat, inflated); }, {}, 0},
                    // Ours with UseSecondThread: large images on two threads.
                    {"ours, 2 threads", [&] { return DecodeOurs(source, true); }, {}, 0},
                    // Ours reading the file itself, as a program opening it does.
                    {"ours, from file", [&] { return DecodeOursFromFile(dir + "/" + name + ".png"); }, {}, 0},
                };
                Measure(dec, runs);
                // The floor is the inflate alone of the engine that ran.
                const size_t floor = std::string(ZInflateEngine()).starts_with("isal") ? 6 : 5;
                PrintTable("decode", dec, 0, floor, false);
                const double ours = dec[0].Median(), libpng = dec[1].Median();
                // The targets count against the fastest engine here, whichever ran.
                size_t best = 5;
                for (size_t i = 6; i <= 7; ++i)
                    if (dec[i].Median() < dec[best].Median()) best = i;
                const double engine = dec[best].Median();
                double fastestPeer = libpng;
                for (size_t i = 2; i <= 4; ++i) fastestPeer = std::min(fastestPeer, dec[i].Median());
                char text[128];
                std::snprintf(text, sizeof text, "%s: decode ours faster than every peer (%.2fx the fastest)",
                              name.c_str(), ours / fastestPeer);
                targets.push_back({text, ours < fastestPeer});
                if (engine <= 0.40 * libpng) {
                    std::snprintf(text, sizeof text, "%s: decode ours <= 0.40x libpng (%.2fx)", name.c_str(),
                                  ours / libpng);
                    targets.push_back({text, ours <= 0.40 * libpng});
                } else {
                    // The engine alone cannot get there: its own floor counts.
                    std::snprintf(text, sizeof text, "%s: decode ours <= 1.10x best floor (%.2fx; %s, %.2fx libpng)",
                                  name.c_str(), ours / engine, dec[best].Name.c_str(), engine / libpng);
                    targets.push_back({text, ours <= 1.10 * engine});
                }
            }

            if (decodeOnly) continue;
            // ---- encoding, from the bitmap our decoder made
            TTavPNG picture;
            source.SetPosition(0);
            picture.LoadFromStream(source);
            picture.UseCurrentTime = false;  // no tIME: outputs comparable run to run
            struct TMode {
                const char* Label;
                uint8_t FilterMode;
                int LibpngFilters;
            };
            const TMode modes[] = {{"None", 1, PNG_FILTER_NONE}, {"adaptive", 0, PNG_ALL_FILTERS}};
            for (const TMode& mode : modes) {
                picture.FilterMode = mode.FilterMode;
                TMemoryStream ourOut;
                EncodeOurs(picture, ourOut);
                const TBytes ourFile(ourOut.Memory(), ourOut.Memory() + ourOut.Size());
                const uint32_t crc = uint32_t(crc32(0, ourFile.data(), uInt(ourFile.size())));
                produced[name + "/" + mode.Label] = crc;
                {
                    // Whatever engine made the bytes, libpng must read the
                    // source's pixels back (where the layout is the same).
                    const THeader h = ParsePng(ourFile);
                    if (h.ColorType == header.ColorType && h.Depth == header.Depth && h.Palette == header.Palette) {
                        std::vector<png_bytep> a, b;
                        if (RowsOf(ourFile, h, a) != RowsOf(file, header, b))
                            throw std::runtime_error(name + "/" + mode.Label + ": our output reads as other pixels");
                        std::printf("  encode %-8s our output reads as the source's pixels (libpng)\n", mode.Label);
                    }
                }
                if (outputsOnly) {
                    std::printf("  encode %-8s our output: %zu bytes, CRC-32 %08x\n", mode.Label, ourFile.size(), crc);
                    continue;
                }

                // The same rows for libpng, the same filtered bytes for deflate.
                const THeader ourHeader = ParsePng(ourFile);
                std::vector<png_bytep> rows;
                const TBytes pixels = RowsOf(ourFile, ourHeader, rows);
                TBytes filtered(ourHeader.FilteredBytes());
                InflateAlone(ourHeader.Idat, filtered);
                TBytes libpngOut, deflated(deflateBound(nullptr, uLong(filtered.size())) + 1024);
                libpngOut.reserve(deflated.size() + 4096);

                std::vector<TContender> enc = {
                    {"ours", [&] { return EncodeOurs(picture, ourOut); }, {}, ourFile.size()},
                    {"libpng", [&] { return EncodeLibpng(ourHeader, rows, mode.LibpngFilters, libpngOut); }, {}, 0},
                    {"zlib alone", [&] { return DeflateAlone(filtered, deflated); }, {}, 0},
                    {"libdeflate alone", [&] { return DeflateLibdeflateAlone(filtered, deflated); }, {}, 0},
                };
                Measure(enc, runs);
                enc[1].OutputSize = libpngOut.size();
                enc[3].OutputSize = DeflateLibdeflateAlone(filtered, deflated);
                enc[2].OutputSize = DeflateAlone(filtered, deflated);
                char title[64];
                std::snprintf(title, sizeof title, "encode %s", mode.Label);
                PrintTable(title, enc, 0, 2, true);
                std::printf("    our output: colour type %d, depth %d, CRC-32 %08x\n", ourHeader.ColorType,
                            ourHeader.Depth, crc);
                // Our IDAT data today is zlib's deflate of these filtered
                // bytes; a new engine may make it at most 0.5 % larger.
                const double ratio = enc[0].Median() / enc[1].Median();
                const double grown = double(ourHeader.Idat.size()) / double(enc[2].OutputSize);
                char text[128];
                std::snprintf(text, sizeof text, "%s: encode %s ours <= 0.50x libpng (%.2fx)", name.c_str(), mode.Label,
                              ratio);
                targets.push_back({text, ratio <= 0.50});
                std::snprintf(text, sizeof text, "%s: encode %s data <= 1.005x zlib's (%.4fx)", name.c_str(), mode.Label,
                              grown);
                targets.push_back({text, grown <= 1.005});
                std::fflush(stdout);
            }
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tobelin_bench: %s\n", e.what());
        return 1;
    }

    if (!outputsOnly) std::printf("\nTargets:\n");
    int missed = 0;
    for (const TTarget& t : targets) {
        std::printf("  %-72s %s\n", t.Text.c_str(), t.Met ? "PASS" : "FAIL");
        missed += !t.Met;
    }
    if (!outputsOnly) std::printf("%d of %zu targets met\n", int(targets.size()) - missed, targets.size());

    int status = 0;
    if (!recordPath.empty()) {
        std::ofstream out(recordPath);
        for (const auto& [key, crc] : produced) {
            char line[32];
            std::snprintf(line, sizeof line, "%08x", crc);
            out << key << ' ' << line << '\n';
        }
        if (!out) {
            std::fprintf(stderr, "tobelin_bench: cannot write %s\n", recordPath.c_str());
            status = 1;
        }
    }
    if (!checkPath.empty()) {
        int differ = 0, unknown = 0;
        for (const auto& [key, crc] : produced) {
            const auto it = expected.find(key);
            if (it == expected.end())
                ++unknown;
            else if (it->second != crc) {
                std::printf("encoder output changed: %s\n", key.c_str());
                ++differ;
            }
        }
        std::printf("Encoder outputs against %s: %zu compared, %d differ, %d not listed\n", checkPath.c_str(),
                    produced.size() - size_t(unknown), differ, unknown);
        if (differ) status = 1;
    }
    return status;
}
