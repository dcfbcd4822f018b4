// The code pages both backends convert: the same list on every system.
#include "platform/codepage.h"

bool codepage_supported(uint32_t code_page) {
    switch (code_page) {
    case 0: case 437: case 850: case 852: case 866: case 874:
    case 932: case 936: case 949: case 950: case 65001:
        return true;
    default:
        return code_page >= 1250 && code_page <= 1258;
    }
}
