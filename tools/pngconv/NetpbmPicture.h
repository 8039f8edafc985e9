// The binary netpbm greymap (P5, .pgm) and pixmap (P6, .ppm) formats as
// pictures of the framework. Both read P5, P6 and PAM files, with any
// MAXVAL up to 65535; they write their own format with 8-bit samples. The
// formats hold no alpha: writing drops it.
#pragma once

#include "tools/pngconv/PamPicture.h"

class TNetpbmPicture : public TPamPicture {
public:
    void LoadFromStream(TStream& stream) override;
    void SaveToStream(TStream& stream) override;

protected:
    virtual bool Grey() const = 0;
};

class TPgmPicture : public TNetpbmPicture {
public:
    static constexpr const char* StaticClassName = "TPgmPicture";
    std::string ClassName() const override { return StaticClassName; }

protected:
    bool Grey() const override { return true; }
};

class TPpmPicture : public TNetpbmPicture {
public:
    static constexpr const char* StaticClassName = "TPpmPicture";
    std::string ClassName() const override { return StaticClassName; }

protected:
    bool Grey() const override { return false; }
};
