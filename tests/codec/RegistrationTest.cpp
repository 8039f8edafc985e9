// The PNG format is known to the picture framework once the program runs.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "codec/TavPNG.h"
#include "platform/Bitmap.h"
#include "platform/Graphic.h"

namespace {

TEST(PngRegistration, FoundByExtensionInAnyCase) {
    for (const char* ext : {"png", "PNG", ".png", "Png"}) {
        SCOPED_TRACE(ext);
        TGraphicClass cls = TPicture::FindGraphicClass(ext);
        ASSERT_NE(cls, nullptr);
        EXPECT_EQ(cls->Name, "TTavPNG");
        EXPECT_EQ(cls, GraphicClassOf<TTavPNG>());
    }
}

TEST(PngRegistration, ListedOnceWithItsDescription) {
    int found = 0;
    for (const auto& f : TPicture::RegisteredFormats()) {
        if (f.GraphicClass != GraphicClassOf<TTavPNG>())
            continue;
        ++found;
        EXPECT_EQ(f.Extension, "PNG");
        EXPECT_EQ(f.Description, "PNG Format");
    }
    EXPECT_EQ(found, 1);
}

TEST(PngRegistration, TheRegisteredClassMakesPngPictures) {
    auto graphic = TPicture::FindGraphicClass("png")->Create();
    ASSERT_NE(graphic, nullptr);
    EXPECT_NE(dynamic_cast<TTavPNG*>(graphic.get()), nullptr);
    EXPECT_EQ(graphic->ClassName(), "TTavPNG");
}

TEST(PngRegistration, PictureContainerLoadsAndSavesPngFiles) {
    TPicture picture;
    picture.LoadFromFile(std::string(TOBELIN_TESTDATA_DIR) + "/pngsuite/basn2c08.png");
    ASSERT_NE(picture.Graphic(), nullptr);
    EXPECT_EQ(picture.Graphic()->ClassName(), "TTavPNG");
    EXPECT_EQ(picture.Graphic()->Width(), 32);

    // A bitmap saved under a .png name is converted into a PNG picture.
    TBitmap bmp;
    bmp.SetPixelFormat(pf24bit);
    bmp.SetSize(3, 2);
    bmp.ScanLine(1)[2 * 3 + 2] = 200;  // red of pixel (2, 1)
    TPicture container;
    container.Assign(&bmp);
    char name[] = "/tmp/pngregistrationXXXXXX.png";
    const int fd = mkstemps(name, 4);
    ASSERT_GE(fd, 0);
    close(fd);
    container.SaveToFile(name);
    TPicture back;
    back.LoadFromFile(name);
    std::remove(name);
    ASSERT_NE(back.Graphic(), nullptr);
    EXPECT_EQ(back.Graphic()->ClassName(), "TTavPNG");
    auto* png = dynamic_cast<TTavPNG*>(back.Graphic());
    ASSERT_NE(png, nullptr);
    EXPECT_EQ(png->ImageBitmap->Pixel(2, 1), RGB(200, 0, 0));
    EXPECT_EQ(png->ImageBitmap->Pixel(0, 0), RGB(0, 0, 0));
}

}  // namespace
