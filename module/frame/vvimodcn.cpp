// Image-information record: how the host loader learns what this module is.
#include "frame.h"

namespace {
constexpr char kNotice[] = "qorldap directory module. Copyright (c) 2026 the qorldap authors.";
}

const ImageInformation vi_mcn = {
    "QOR_Image_Information=",
    0xB0BDEBEDu,
    8,
    "1.00",
    "QORLDAP.01.00.00",
    __DATE__,
    0,
    {0, 0, 0},
    mcn_pcns,
    kNotice,
    "001",
};
