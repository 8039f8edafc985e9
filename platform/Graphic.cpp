#include "platform/Graphic.h"

#include <algorithm>
#include <cctype>

#include "platform/Bitmap.h"
#include "platform/Exceptions.h"
#include "platform/Streams.h"

// ---- TGraphic ----

void TGraphic::SetTransparent(bool value) {
    if (value == Transparent_)
        return;
    Transparent_ = value;
    Changed(this);
}

void TGraphic::Changed(TObject*) {
    Modified = true;
    if (OnChange)
        OnChange(this);
}

void TGraphic::Progress(TObject* sender, TProgressStage stage, uint8_t percentDone, bool redrawNow,
                        const TRect& r, const std::string& msg) {
    if (OnProgress)
        OnProgress(sender, stage, percentDone, redrawNow, r, msg);
}

void TGraphic::LoadFromFile(const std::string& fileName) {
    TFileStream stream(fileName, TFileStream::fmOpenRead);
    LoadFromStream(stream);
}

void TGraphic::SaveToFile(const std::string& fileName) {
    TFileStream stream(fileName, TFileStream::fmCreate);
    SaveToStream(stream);
}

// ---- TPicture ----

namespace {

std::string Upper(std::string s) {
    for (char& c : s)
        c = char(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

std::string WithoutDot(const std::string& extension) {
    return (!extension.empty() && extension[0] == '.') ? extension.substr(1) : extension;
}

// Built on first use, so that formats registered from other units' static
// initialisers find it whatever the link order; never destroyed, so that
// unregistering from their static destructors is safe too.
std::vector<TPicture::Format>& Registry() {
    static auto* formats = new std::vector<TPicture::Format>;
    return *formats;
}

// The extension of the file name's last component, without the dot;
// empty when it has none.
std::string ExtensionOf(const std::string& fileName) {
    const size_t slash = fileName.find_last_of("/\\");
    const size_t dot = fileName.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return {};
    return fileName.substr(dot + 1);
}

[[noreturn]] void UnknownExtension(const std::string& extension) {
    throw EInvalidGraphic("Unknown picture file extension (." + extension + ")");
}

TGraphicClass ClassNamed(const std::string& name) {
    for (const auto& f : Registry())
        if (f.GraphicClass && f.GraphicClass->Name == name)
            return f.GraphicClass;
    if (name == TBitmap::StaticClassName)
        return GraphicClassOf<TBitmap>();
    return nullptr;
}

// The framework's own format, there before main starts.
const bool kBitmapRegistered = [] {
    TPicture::RegisterFileFormat("BMP", "Bitmaps", GraphicClassOf<TBitmap>());
    return true;
}();

}  // namespace

void TPicture::RegisterFileFormat(const std::string& extension, const std::string& description,
                                  TGraphicClass graphicClass) {
    const std::string key = Upper(WithoutDot(extension));
    if (key.empty() || !graphicClass)
        throw EInvalidGraphic("Invalid picture format registration");
    auto& formats = Registry();
    // A later registration of an extension replaces the earlier one.
    for (auto& f : formats) {
        if (Upper(f.Extension) == key) {
            f = Format{WithoutDot(extension), description, graphicClass};
            return;
        }
    }
    GuardAlloc([&] { formats.push_back(Format{WithoutDot(extension), description, graphicClass}); });
}

void TPicture::UnregisterGraphicClass(TGraphicClass graphicClass) {
    auto& formats = Registry();
    formats.erase(std::remove_if(formats.begin(), formats.end(),
                                 [&](const Format& f) { return f.GraphicClass == graphicClass; }),
                  formats.end());
}

TGraphicClass TPicture::FindGraphicClass(const std::string& extension) {
    const std::string key = Upper(WithoutDot(extension));
    for (const auto& f : Registry())
        if (Upper(f.Extension) == key)
            return f.GraphicClass;
    return nullptr;
}

std::vector<TPicture::Format> TPicture::RegisteredFormats() {
    (void)kBitmapRegistered;
    return Registry();
}

TPicture::TPicture() = default;
TPicture::~TPicture() = default;

void TPicture::LoadFromFile(const std::string& fileName) {
    const std::string extension = ExtensionOf(fileName);
    TGraphicClass graphicClass = FindGraphicClass(extension);
    if (!graphicClass)
        UnknownExtension(extension);
    std::unique_ptr<TGraphic> graphic = GuardAlloc([&] { return graphicClass->Create(); });
    graphic->LoadFromFile(fileName);
    Graphic_ = std::move(graphic);
}

void TPicture::SaveToFile(const std::string& fileName) {
    if (!Graphic_)
        throw EInvalidGraphic("No picture to save");
    TGraphicClass graphicClass = FindGraphicClass(ExtensionOf(fileName));
    if (graphicClass && graphicClass->Name != Graphic_->ClassName()) {
        std::unique_ptr<TGraphic> converted = GuardAlloc([&] { return graphicClass->Create(); });
        converted->Assign(Graphic_.get());
        converted->SaveToFile(fileName);
        return;
    }
    Graphic_->SaveToFile(fileName);
}

void TPicture::SetGraphic(std::unique_ptr<TGraphic> graphic) { Graphic_ = std::move(graphic); }

void TPicture::Assign(TPersistent* source) {
    if (!source) {
        Graphic_.reset();
        return;
    }
    if (source == this)
        return;
    TGraphic* from = nullptr;
    if (auto* picture = dynamic_cast<TPicture*>(source)) {
        from = picture->Graphic_.get();
        if (!from) {
            Graphic_.reset();
            return;
        }
    } else {
        from = dynamic_cast<TGraphic*>(source);
    }
    if (!from) {
        TPersistent::Assign(source);
        return;
    }
    TGraphicClass graphicClass = ClassNamed(from->ClassName());
    if (!graphicClass)
        throw EConvertError::Assign(from->ClassName(), ClassName());
    std::unique_ptr<TGraphic> copy = GuardAlloc([&] { return graphicClass->Create(); });
    copy->Assign(from);
    Graphic_ = std::move(copy);
}
