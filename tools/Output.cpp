#include "Output.h"

#include <iostream>

namespace Zelm::Tool {

namespace {

class DiscardingBuffer : public std::streambuf {
protected:
    int_type overflow(int_type c) override { return traits_type::not_eof(c); }
    std::streamsize xsputn(const char*, std::streamsize count) override { return count; }
};

}  // namespace

void routeLibraryDiagnosticsToStderr() { std::cout.rdbuf(std::cerr.rdbuf()); }

void discardLibraryDiagnostics() {
    // Never destroyed: std::cout is flushed once more at exit, after the
    // destruction of ordinary static objects.
    static auto* const discarding = new DiscardingBuffer;
    std::cout.rdbuf(discarding);
}

void Output::line(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::fwrite(text.data(), 1, text.size(), stream_);
    std::fputc('\n', stream_);
    std::fflush(stream_);
}

void Output::object(const nlohmann::ordered_json& value) {
    // Names and TXT values come from the network: bytes that are not UTF-8
    // are replaced instead of aborting the output.
    line(value.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace));
}

void reportError(const std::string& message) { std::cerr << "zelm-mdns: " << message << std::endl; }

}  // namespace Zelm::Tool
