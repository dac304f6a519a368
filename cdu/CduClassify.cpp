// Classification of a dispenser firmware image by the version code it
// carries: the model by the code's second character, the download road by
// its fourth.
#include "cdu/CduFwDn.h"

#include <cstring>

#include "fwdn/FirmwareImage.h"

namespace {

bool At(const unsigned char* buf, unsigned long len, unsigned long i, const char* s, size_t n) {
    return i + n <= len && memcmp(buf + i, s, n) == 0;
}

bool IsByte(const unsigned char* buf, unsigned long len, unsigned long i, char ch) {
    return i < len && buf[i] == static_cast<unsigned char>(ch);
}

// Finds the six-character version code: "CDU_" (or "cdu_") followed by the
// code and '_', or "CDU" (or "cdu"), any byte, '_', the code and '_'. Only
// positions up to len - 11 start a search.
const unsigned char* FindVersionCode(const unsigned char* buf, unsigned long len) {
    for (unsigned long i = 0; i + 10 < len; ++i) {
        if (At(buf, len, i, "CDU_", 4) || At(buf, len, i, "cdu_", 4)) {
            if (IsByte(buf, len, i + 10, '_'))
                return buf + i + 4;
            continue; // the three-letter form is not tried here
        }
        if ((At(buf, len, i, "CDU", 3) || At(buf, len, i, "cdu", 3)) &&
            IsByte(buf, len, i + 4, '_') && IsByte(buf, len, i + 11, '_'))
            return buf + i + 5;
    }
    return nullptr;
}

// Model name by the second character of the version code.
const char* ModelName(char chModel) {
    switch (chModel) {
    case '6':
    case '8':
        return "ARVO/BELK";
    case '7':
    case '9':
        return "CIRN";
    case 'A':
    case 'C':
    case 'c':
        return "DOXA";
    case 'B':
    case 'b':
        return "EVRA";
    case 'D':
        return "FINOR";
    case 'F':
        return "GAVO";
    case 'G':
    case 'g':
        return "IMBRA";
    case 'H':
    case 'h':
        return "JOLTA";
    case 'J':
        return "KESTRAN";
    case 'P':
        return "LUNDA";
    case 'W':
    case 'w':
        return "MIRO";
    default:
        return "UNKNOWN";
    }
}

} // namespace

int ClassifyCduFirmware(const unsigned char* image, unsigned long size, char* szModel,
                        unsigned char* pType, char* szVersion) {
    *pType = 0;
    if (szVersion != nullptr)
        szVersion[0] = '\0';
    if (size > static_cast<unsigned long>(kMaxFirmwareImageSize))
        return CDU_TOO_LARGE;
    const unsigned char* code = image != nullptr ? FindVersionCode(image, size) : nullptr;
    if (code == nullptr)
        return CDU_NO_CODE;
    signed char road = static_cast<signed char>(code[3]);
    *pType = (road >= 'A' && road <= 'F') ? 0 : 1;
    if (szModel != nullptr)
        strcpy(szModel, ModelName(static_cast<char>(code[1])));
    if (szVersion != nullptr) {
        memcpy(szVersion, code, 6);
        szVersion[6] = '\0';
    }
    return CDU_CLASSIFIED;
}
