// The abstract picture class TGraphic and the picture-format registry
// TPicture.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/Object.h"
#include "platform/Palette.h"
#include "platform/Types.h"

class TCanvas;
class TStream;
class TGraphic;

// Clipboard format of a device-independent bitmap block.
constexpr uint16_t CF_DIB = 8;
// Clipboard data: one block of memory (a packed DIB for CF_DIB).
using TClipboardData = std::vector<uint8_t>;

// A class reference for the registry: its name and how to make one.
struct TGraphicClassRec {
    std::string Name;
    std::unique_ptr<TGraphic> (*Create)();
};
using TGraphicClass = const TGraphicClassRec*;

// The class reference of T (T needs a default constructor and a static
// StaticClassName).
template <class T>
TGraphicClass GraphicClassOf() {
    static const TGraphicClassRec rec{T::StaticClassName,
                                      []() -> std::unique_ptr<TGraphic> { return std::make_unique<T>(); }};
    return &rec;
}

class TGraphic : public TPersistent {
public:
    static constexpr const char* StaticClassName = "TGraphic";
    std::string ClassName() const override { return StaticClassName; }

    TNotifyEvent OnChange;
    TProgressEvent OnProgress;

    // Picture operations; formats override them.
    virtual void Draw(TCanvas& canvas, const TRect& rect) = 0;
    virtual bool GetEmpty() const = 0;
    virtual int32_t GetWidth() const = 0;
    virtual int32_t GetHeight() const = 0;
    virtual HPALETTE GetPalette() const { return nullptr; }
    virtual bool GetTransparent() const { return Transparent_; }
    virtual void SetWidth(int32_t value) = 0;
    virtual void SetHeight(int32_t value) = 0;
    virtual void SetPalette(HPALETTE) {}
    virtual void SetTransparent(bool value);

    // The picture's data inside the framework's form storage.
    virtual void ReadData(TStream& stream) { LoadFromStream(stream); }
    virtual void WriteData(TStream& stream) { SaveToStream(stream); }

    virtual void LoadFromStream(TStream& stream) = 0;
    virtual void SaveToStream(TStream& stream) = 0;
    virtual void LoadFromFile(const std::string& fileName);
    virtual void SaveToFile(const std::string& fileName);
    virtual void LoadFromClipboardFormat(uint16_t format, const TClipboardData& data, HPALETTE palette) = 0;
    virtual void SaveToClipboardFormat(uint16_t& format, TClipboardData& data, HPALETTE& palette) = 0;

    bool Empty() const { return GetEmpty(); }
    int32_t Width() const { return GetWidth(); }
    int32_t Height() const { return GetHeight(); }

    bool Modified = false;
    bool PaletteModified = false;

    // Marks the picture modified and calls OnChange.
    virtual void Changed(TObject* sender);

protected:
    // Calls OnProgress when assigned.
    virtual void Progress(TObject* sender, TProgressStage stage, uint8_t percentDone, bool redrawNow,
                          const TRect& r, const std::string& msg);

private:
    bool Transparent_ = false;
};

// The registry of picture formats by file extension (case-insensitive,
// without the dot), and loading and saving a picture by file name.
class TPicture : public TPersistent {
public:
    static constexpr const char* StaticClassName = "TPicture";
    std::string ClassName() const override { return StaticClassName; }

    static void RegisterFileFormat(const std::string& extension, const std::string& description,
                                   TGraphicClass graphicClass);
    static void UnregisterGraphicClass(TGraphicClass graphicClass);
    // The class registered for extension, or null.
    static TGraphicClass FindGraphicClass(const std::string& extension);
    struct Format {
        std::string Extension, Description;
        TGraphicClass GraphicClass;
    };
    static std::vector<Format> RegisteredFormats();

    TPicture();
    ~TPicture() override;

    // Creates the class registered for the file's extension and loads it;
    // an unknown extension raises EInvalidGraphic naming the extension.
    void LoadFromFile(const std::string& fileName);
    // Saves the current graphic; when the file's extension names another
    // registered class, the graphic is converted through Assign first.
    void SaveToFile(const std::string& fileName);

    TGraphic* Graphic() { return Graphic_.get(); }
    void SetGraphic(std::unique_ptr<TGraphic> graphic);
    void Assign(TPersistent* source) override;

private:
    std::unique_ptr<TGraphic> Graphic_;
};
