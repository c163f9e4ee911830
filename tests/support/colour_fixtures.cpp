#include "support/colour_fixtures.h"

#include <lcms2.h>

namespace zelvan::test {

std::string WriteRgbProfile(const std::string& path, const Primaries& p) {
    const cmsCIExyY d65{0.3127, 0.3290, 1.0};
    const cmsCIExyYTRIPLE primaries{{p.red[0], p.red[1], 1.0}, {p.green[0], p.green[1], 1.0}, {p.blue[0], p.blue[1], 1.0}};
    const double srgb[5] = {2.4, 1 / 1.055, 0.055 / 1.055, 1 / 12.92, 0.04045};
    cmsToneCurve* curve = cmsBuildParametricToneCurve(nullptr, 4, srgb);
    cmsToneCurve* curves[3] = {curve, curve, curve};
    cmsHPROFILE profile = cmsCreateRGBProfile(&d65, &primaries, curves);
    cmsSaveProfileToFile(profile, path.c_str());
    cmsCloseProfile(profile);
    cmsFreeToneCurve(curve);
    return path;
}

}  // namespace zelvan::test
