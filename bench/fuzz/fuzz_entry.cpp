// One libFuzzer harness per entry point of tests/hostile/fuzzentries.h; FUZZ_ENTRY names
// the entry this build drives.

#include <QGuiApplication>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "fuzzentries.h"

namespace {

const fuzzentry::Entry* g_entry = nullptr;

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    // Metafiles may hold text, which needs a GUI application's fonts; no display is used.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static std::unique_ptr<QGuiApplication> app = std::make_unique<QGuiApplication>(*argc, *argv);
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    for (const fuzzentry::Entry& e : fuzzentry::entries())
        if (std::strcmp(e.name, FUZZ_ENTRY) == 0)
            g_entry = &e;
    if (!g_entry)
        std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    g_entry->run(QByteArray(reinterpret_cast<const char*>(data), qsizetype(size)));
    return 0;
}
