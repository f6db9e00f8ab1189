/* Compiles the engine's interface as C11: it must stay usable from C. */
#include "orva.h"

int orvaHeaderCheck(void) {
    ORVA_INPUT_TAG input = {0};
    input.pszAddress = "file.ts";
    return input.Format + (int)sizeof(ORVA_OUTPUT_TAG);
}
