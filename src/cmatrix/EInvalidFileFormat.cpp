#include "cmatrix/EInvalidFileFormat.h"

EInvalidFileFormat::EInvalidFileFormat(const char* format)
    : text_(std::string("File is not in ") + format + " format") {}
