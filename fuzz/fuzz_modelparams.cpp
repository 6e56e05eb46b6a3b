// The parameter-file reader on any bytes: a file is read or refused with a reason.
#include "fuzzinput.h"
#include "model/modelparams.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    QString error;
    const auto params = ModelParams::parse(fuzzBytes(data, size), &error);
    if (!params && error.isEmpty()) {
        fuzzFailure("a refused parameter file gives no reason");
    }
    if (params && params->classes.isEmpty()) {
        fuzzFailure("a parameter file read without a CLASS line");
    }
    return 0;
}
