// FlashGetErrorString: the name of an error code.
#include "flashdll/flashdll.h"
#include "flashdll/report/errors.h"

// Without a buffer the caller receives nothing, so nothing is written: no
// buffer shared by the threads of the process is needed.
extern "C" FLASHDLL_API uint32_t FlashGetErrorString(uint32_t code, char* buffer) {
    if (buffer != nullptr) ErrorName(code, buffer);
    return SUCCESS;
}
