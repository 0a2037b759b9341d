#include "platform/tiff_file.h"

#include <QFile>
#include <cstdarg>
#include <cstdio>

namespace velmora {
namespace {

int KeepFirstError(TIFF*, void* user, const char* module, const char* format, va_list arguments) {
    auto* error = static_cast<std::string*>(user);
    if (error->empty()) {
        char text[512];
        std::vsnprintf(text, sizeof text, format, arguments);
        *error = std::string(module != nullptr ? module : "TIFF") + ": " + text;
    }
    return 1;
}

int IgnoreWarning(TIFF*, void*, const char*, const char*, va_list) {
    return 1;
}

}  // namespace

TiffOptions QuietTiffOptions(std::string& error) {
    TiffOptions options(TIFFOpenOptionsAlloc(), TIFFOpenOptionsFree);
    TIFFOpenOptionsSetErrorHandlerExtR(options.get(), KeepFirstError, &error);
    TIFFOpenOptionsSetWarningHandlerExtR(options.get(), IgnoreWarning, &error);
    return options;
}

TiffFile OpenTiffFile(const QString& path, const char* mode, std::string& error) {
    const TiffOptions options = QuietTiffOptions(error);
    return TiffFile(TIFFOpenExt(QFile::encodeName(path).constData(), mode, options.get()),
                    TIFFClose);
}

}  // namespace velmora
