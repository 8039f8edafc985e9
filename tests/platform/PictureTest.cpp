// TGraphic's common behaviour and the TPicture format registry.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <unistd.h>

#include "platform/Bitmap.h"
#include "platform/Exceptions.h"
#include "platform/Graphic.h"
#include "platform/Streams.h"
#include "tests/platform/BitmapTestSupport.h"

using bitmaptest::FillPattern;

namespace {

// A minimal picture format for the registry: remembers what was done to it.
class TNoteGraphic : public TGraphic {
public:
    static constexpr const char* StaticClassName = "TNoteGraphic";
    std::string ClassName() const override { return StaticClassName; }
    void Draw(TCanvas&, const TRect&) override {}
    bool GetEmpty() const override { return Text.empty(); }
    int32_t GetWidth() const override { return int32_t(Text.size()); }
    int32_t GetHeight() const override { return Text.empty() ? 0 : 1; }
    void SetWidth(int32_t) override {}
    void SetHeight(int32_t) override {}
    void LoadFromStream(TStream& stream) override {
        Text.resize(size_t(stream.Size() - stream.Position()));
        stream.ReadBuffer(Text.data(), int64_t(Text.size()));
    }
    void SaveToStream(TStream& stream) override { stream.WriteBuffer(Text.data(), int64_t(Text.size())); }
    void LoadFromClipboardFormat(uint16_t, const TClipboardData&, HPALETTE) override {}
    void SaveToClipboardFormat(uint16_t&, TClipboardData&, HPALETTE&) override {}
    void Assign(TPersistent* source) override {
        if (auto* bmp = dynamic_cast<TBitmap*>(source)) {
            Text = "from bitmap " + std::to_string(bmp->Width()) + "x" + std::to_string(bmp->Height());
            return;
        }
        if (auto* note = dynamic_cast<TNoteGraphic*>(source)) {
            Text = note->Text;
            return;
        }
        TGraphic::Assign(source);
    }
    void ProgressForTest() { Progress(this, psRunning, 42, true, TRect{1, 2, 3, 4}, "msg"); }
    std::string Text;
};

class TempDir {
public:
    TempDir() {
        char tmpl[] = "/tmp/tobelin-picture-XXXXXX";
        if (mkdtemp(tmpl))
            Path = tmpl;
    }
    ~TempDir() {
        if (!Path.empty())
            std::system(("rm -rf '" + Path + "'").c_str());
    }
    std::string File(const std::string& name) const { return Path + "/" + name; }
    std::string Path;
};

// Registers the note format for one test and removes it afterwards.
class RegisteredNote {
public:
    RegisteredNote() { TPicture::RegisterFileFormat("note", "Notes", GraphicClassOf<TNoteGraphic>()); }
    ~RegisteredNote() { TPicture::UnregisterGraphicClass(GraphicClassOf<TNoteGraphic>()); }
};

}  // namespace

TEST(Graphic, ChangedMarksModifiedAndCallsOnChange) {
    TNoteGraphic g;
    TObject* sender = nullptr;
    int calls = 0;
    g.Changed(&g);
    EXPECT_TRUE(g.Modified);  // no handler: still marked
    g.OnChange = [&](TObject* s) {
        ++calls;
        sender = s;
    };
    g.Modified = false;
    g.Changed(nullptr);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(sender, &g);
    EXPECT_TRUE(g.Modified);
}

TEST(Graphic, SetTransparentSignalsOnlyRealChanges) {
    TNoteGraphic g;
    int calls = 0;
    g.OnChange = [&](TObject*) { ++calls; };
    const struct {
        bool Value;
        int Calls;
    } steps[] = {{false, 0}, {true, 1}, {true, 1}, {false, 2}};
    for (const auto& s : steps) {
        g.SetTransparent(s.Value);
        EXPECT_EQ(g.GetTransparent(), s.Value);
        EXPECT_EQ(calls, s.Calls) << "after SetTransparent(" << s.Value << ")";
    }
}

TEST(Graphic, ProgressReachesTheEventWithAllItsArguments) {
    TNoteGraphic g;
    g.ProgressForTest();  // no handler: nothing happens
    int calls = 0;
    g.OnProgress = [&](TObject* sender, TProgressStage stage, uint8_t percent, bool redraw, const TRect& r,
                       const std::string& msg) {
        ++calls;
        EXPECT_EQ(sender, &g);
        EXPECT_EQ(stage, psRunning);
        EXPECT_EQ(percent, 42);
        EXPECT_TRUE(redraw);
        EXPECT_EQ(r.Left + r.Top * 10 + r.Right * 100 + r.Bottom * 1000, 4321);
        EXPECT_EQ(msg, "msg");
    };
    g.ProgressForTest();
    EXPECT_EQ(calls, 1);
}

TEST(Graphic, FileLoadAndSaveGoThroughStreams) {
    TempDir dir;
    ASSERT_FALSE(dir.Path.empty());
    TNoteGraphic g;
    g.Text = "hello";
    g.SaveToFile(dir.File("a.note"));
    TNoteGraphic h;
    h.LoadFromFile(dir.File("a.note"));
    EXPECT_EQ(h.Text, "hello");
    EXPECT_THROW(h.LoadFromFile(dir.File("missing.note")), FileOpenError);
}

TEST(PictureRegistry, BitmapsAreRegisteredBeforeMain) {
    TGraphicClass bmp = TPicture::FindGraphicClass("BMP");
    ASSERT_NE(bmp, nullptr);
    EXPECT_EQ(bmp->Name, "TBitmap");
    bool listed = false;
    for (const auto& f : TPicture::RegisteredFormats())
        if (f.Extension == "BMP" && f.Description == "Bitmaps" && f.GraphicClass == bmp)
            listed = true;
    EXPECT_TRUE(listed);
    auto made = bmp->Create();
    ASSERT_NE(made, nullptr);
    EXPECT_EQ(made->ClassName(), "TBitmap");
}

TEST(PictureRegistry, LookupIgnoresCaseAndALeadingDot) {
    RegisteredNote note;
    const struct {
        const char* Extension;
        const char* ClassName;  // null: not found
    } cases[] = {{"bmp", "TBitmap"},      {"Bmp", "TBitmap"},      {".BMP", "TBitmap"}, {"note", "TNoteGraphic"},
                 {"NOTE", "TNoteGraphic"}, {".NoTe", "TNoteGraphic"}, {"png2", nullptr},  {"", nullptr},
                 {"bm", nullptr},          {"bmpx", nullptr}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("extension '") + c.Extension + "'");
        TGraphicClass found = TPicture::FindGraphicClass(c.Extension);
        if (!c.ClassName) {
            EXPECT_EQ(found, nullptr);
        } else {
            ASSERT_NE(found, nullptr);
            EXPECT_EQ(found->Name, c.ClassName);
        }
    }
}

TEST(PictureRegistry, UnregisterRemovesEveryExtensionOfTheClass) {
    {
        RegisteredNote note;
        TPicture::RegisterFileFormat("nte", "Short notes", GraphicClassOf<TNoteGraphic>());
        EXPECT_NE(TPicture::FindGraphicClass("nte"), nullptr);
    }
    EXPECT_EQ(TPicture::FindGraphicClass("note"), nullptr);
    EXPECT_EQ(TPicture::FindGraphicClass("nte"), nullptr);
    EXPECT_NE(TPicture::FindGraphicClass("bmp"), nullptr);  // others stay
}

TEST(PictureRegistry, ALaterRegistrationOfAnExtensionWins) {
    TPicture::RegisterFileFormat("bmp", "Notes pretending", GraphicClassOf<TNoteGraphic>());
    EXPECT_EQ(TPicture::FindGraphicClass("BMP")->Name, "TNoteGraphic");
    TPicture::UnregisterGraphicClass(GraphicClassOf<TNoteGraphic>());
    EXPECT_EQ(TPicture::FindGraphicClass("BMP"), nullptr);
    TPicture::RegisterFileFormat("BMP", "Bitmaps", GraphicClassOf<TBitmap>());  // restore
    EXPECT_EQ(TPicture::FindGraphicClass("bmp")->Name, "TBitmap");
}

TEST(Picture, LoadsAndSavesBitmapsByName) {
    TempDir dir;
    ASSERT_FALSE(dir.Path.empty());
    auto src = std::make_unique<TBitmap>();
    src->SetPixelFormat(pf8bit);
    src->SetSize(6, 4);
    FillPattern(*src);
    TBitmap reference;
    reference.Assign(src.get());
    TPicture picture;
    picture.SetGraphic(std::move(src));
    for (const char* name : {"pic.bmp", "PIC2.BMP", "dotted.name.Bmp"}) {
        SCOPED_TRACE(name);
        picture.SaveToFile(dir.File(name));
        TPicture loaded;
        loaded.LoadFromFile(dir.File(name));
        ASSERT_NE(loaded.Graphic(), nullptr);
        auto* bmp = dynamic_cast<TBitmap*>(loaded.Graphic());
        ASSERT_NE(bmp, nullptr);
        EXPECT_EQ(bmp->PixelFormat(), pf8bit);
        for (int32_t y = 0; y < 4; ++y)
            for (int32_t x = 0; x < 6; ++x)
                EXPECT_EQ(bmp->Pixel(x, y), reference.Pixel(x, y));
    }
}

TEST(Picture, UnknownExtensionsRaiseNamingTheExtension) {
    TempDir dir;
    const struct {
        const char* File;
        const char* Named;
    } cases[] = {{"a.xyz", "(.xyz)"}, {"noextension", "(.)"}, {"dir.d/file", "(.)"}, {"b.Gif", "(.Gif)"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.File);
        TPicture picture;
        try {
            picture.LoadFromFile(dir.File(c.File));
            ADD_FAILURE() << "no error";
        } catch (const EInvalidGraphic& e) {
            EXPECT_NE(std::string(e.what()).find(c.Named), std::string::npos) << e.what();
        }
        EXPECT_EQ(picture.Graphic(), nullptr);
    }
}

TEST(Picture, FailedLoadKeepsTheOldGraphic) {
    TempDir dir;
    TPicture picture;
    auto bmp = std::make_unique<TBitmap>();
    bmp->SetSize(2, 2);
    TGraphic* old = bmp.get();
    picture.SetGraphic(std::move(bmp));
    EXPECT_THROW(picture.LoadFromFile(dir.File("absent.bmp")), FileOpenError);
    EXPECT_EQ(picture.Graphic(), old);
    FILE* f = std::fopen(dir.File("junk.bmp").c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fputs("this is no bitmap", f);
    std::fclose(f);
    EXPECT_THROW(picture.LoadFromFile(dir.File("junk.bmp")), EInvalidGraphic);
    EXPECT_EQ(picture.Graphic(), old);
}

TEST(Picture, SavingUnderAnotherFormatsExtensionConverts) {
    RegisteredNote note;
    TempDir dir;
    TPicture picture;
    auto bmp = std::make_unique<TBitmap>();
    bmp->SetSize(3, 2);
    picture.SetGraphic(std::move(bmp));
    picture.SaveToFile(dir.File("out.note"));
    TNoteGraphic check;
    check.LoadFromFile(dir.File("out.note"));
    EXPECT_EQ(check.Text, "from bitmap 3x2");
    EXPECT_EQ(picture.Graphic()->ClassName(), "TBitmap");  // the picture keeps its own

    TPicture empty;
    EXPECT_THROW(empty.SaveToFile(dir.File("nothing.bmp")), EInvalidGraphic);
}

TEST(Picture, AssignCopiesTheGraphic) {
    TPicture a;
    auto bmp = std::make_unique<TBitmap>();
    bmp->SetSize(5, 1);
    a.SetGraphic(std::move(bmp));
    TPicture b;
    b.Assign(&a);
    ASSERT_NE(b.Graphic(), nullptr);
    EXPECT_NE(b.Graphic(), a.Graphic());
    EXPECT_EQ(b.Graphic()->Width(), 5);
    a.Graphic()->SetWidth(9);
    EXPECT_EQ(b.Graphic()->Width(), 5);

    TBitmap single;
    single.SetSize(2, 7);
    b.Assign(&single);
    EXPECT_EQ(b.Graphic()->Height(), 7);
    b.Assign(nullptr);
    EXPECT_EQ(b.Graphic(), nullptr);
    TPersistent other;
    EXPECT_THROW(b.Assign(&other), EConvertError);
}

// A file name is the system's bytes: names that Shift-JIS can write, names
// it cannot, and names with spaces or a leading dash all reach the disk as
// given, through every way the framework opens files.
TEST(Picture, FileNamesReachTheSystemUnchanged) {
    TempDir dir;
    ASSERT_FALSE(dir.Path.empty());
    const char* names[] = {"写真.bmp", "café.bmp", "emoji-🐱.bmp", "with space.bmp", "-dash.bmp"};
    for (const char* name : names) {
        SCOPED_TRACE(name);
        const std::string path = dir.File(name);
        TBitmap bmp;
        bmp.SetPixelFormat(pf24bit);
        bmp.SetSize(5, 3);
        FillPattern(bmp);
        TPicture saved;
        saved.SetGraphic(std::make_unique<TBitmap>());
        saved.Graphic()->Assign(&bmp);
        saved.SaveToFile(path);
        ASSERT_EQ(access(path.c_str(), R_OK), 0) << "not written under its own name";

        TPicture loaded;
        loaded.LoadFromFile(path);
        ASSERT_NE(loaded.Graphic(), nullptr);
        EXPECT_EQ(loaded.Graphic()->Width(), 5);

        TMemoryStream copy;
        copy.LoadFromFile(path);
        copy.SaveToFile(path + ".copy");
        TFileStream again(path + ".copy", TFileStream::fmOpenRead);
        EXPECT_EQ(again.Size(), copy.Size());
    }
}

TEST(Picture, OpenErrorShowsAStandInButOpensTheRealName) {
    TempDir dir;
    const std::string missing = dir.File("café-🐱.bmp");
    try {
        TPicture().LoadFromFile(missing);
        ADD_FAILURE() << "no error raised";
    } catch (const FileOpenError& e) {
        EXPECT_NE(e.message().find(dir.Path + "/caf?-?.bmp\""), std::string::npos);
        EXPECT_EQ(e.ErrorCode(), ENOENT);
    }
}
