// Every saved fuzz input, fed again to the entry it was found with: inputs
// that once crashed a reader, and the seeds, stay ordinary tests.
#include "FuzzEntries.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>

#include <csignal>
#include <cstdio>
#include <cstring>

#include <unistd.h>

namespace {

// The input being run, named on stderr when an entry ends the process.
char CurrentInput[1024];

void NameCurrentInput(int signal)
{
    const char prefix[] = "\nfuzz corpus input that ended the test: ";
    (void)!::write(2, prefix, sizeof prefix - 1);
    (void)!::write(2, CurrentInput, std::strlen(CurrentInput));
    (void)!::write(2, "\n", 1);
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

} // namespace

TEST(FuzzCorpus, EveryInputRunsThroughItsReader)
{
    for (int signal : {SIGABRT, SIGSEGV, SIGBUS, SIGFPE, SIGILL})
        std::signal(signal, NameCurrentInput);
    for (const TFuzzEntry& entry : FuzzEntries) {
        const QDir dir(QStringLiteral(ORVEXA_SOURCE_DIR "/tests/fuzz/") + QLatin1String(entry.Name));
        const QStringList names = dir.entryList(QDir::Files, QDir::Name);
        EXPECT_FALSE(names.isEmpty()) << "no corpus for " << entry.Name;
        for (const QString& name : names) {
            QFile file(dir.filePath(name));
            ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << name.toStdString();
            const QByteArray bytes = file.readAll();
            const std::string input = std::string(entry.Name) + "/" + name.toStdString();
            std::snprintf(CurrentInput, sizeof CurrentInput, "%s", input.c_str());
            SCOPED_TRACE(input);
            entry.Run(reinterpret_cast<const uint8_t*>(bytes.constData()), size_t(bytes.size()));
        }
    }
}
