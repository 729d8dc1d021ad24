#include "ErrorLine.h"

#include "ErrorMapping.h"

#include <iostream>
#include <locale>
#include <sstream>

namespace Zelm::MDNS::Apple::Util {

void writeErrorLine(int code, const char* prefix) {
    // Built first and written at once, so that lines of concurrent operations
    // do not interleave. The classic locale keeps the code a plain signed
    // number whatever global locale the host has installed.
    std::ostringstream line;
    line.imbue(std::locale::classic());
    line << prefix << "mDNS error: " << code << ": " << mapMdnsErr(code);
    writeLine(line.str());
}

void writeLine(const std::string& text) {
    // Best effort: a host that made std::cout throw must not see that here.
    try {
        std::cout << text + '\n' << std::flush;
    } catch (...) {
    }
}

}  // namespace Zelm::MDNS::Apple::Util
