// The configuration record and the hardware step, kept in data areas 0 and 5. Not built yet:
// the exports refuse and send nothing.
#include "mviahlp.h"

extern "C" {

KLIA_EXPORT KLIA_BOOL KLIA_CALL KLIAWriteConfigData(const void *) { return 0; }
KLIA_EXPORT KLIA_BOOL KLIA_CALL KLIAReadConfigData(void *) { return 0; }
KLIA_EXPORT KLIA_BOOL KLIA_CALL KLIAReadHwStep(uint8_t *) { return 0; }
KLIA_EXPORT KLIA_BOOL KLIA_CALL KLIAWriteHwStep(uint8_t) { return 0; }

}  // extern "C"
