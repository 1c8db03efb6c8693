// orvexa-cli split: how each script file is decoded and cut into batches.
#include "untCliCommon.h"
#include "untCommon.h"
#include "untSQLFile.h"

#include <QByteArray>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

namespace {

// JSON written to stdout as it is made, a block at a time, so that the output
// of a large file never exists whole in memory.
class TJsonOut {
public:
    TJsonOut() { FBuffer.reserve(BlockSize + 4096); }

    TJsonOut& Raw(const char* text)
    {
        FBuffer.append(text);
        return FlushIfFull();
    }

    // A JSON string: quotes, backslashes and control characters escaped,
    // everything else as UTF-8.
    TJsonOut& String(QStringView text)
    {
        FBuffer.append('"');
        qsizetype i = 0;
        const qsizetype n = text.size();
        while (i < n) {
            const char16_t c = text[i].unicode();
            if (c >= 0x80) {
                qsizetype j = i + 1;
                while (j < n && text[j].unicode() >= 0x80)
                    ++j;
                FBuffer.append(text.sliced(i, j - i).toUtf8());
                i = j;
                continue;
            }
            switch (c) {
            case u'"': FBuffer.append("\\\""); break;
            case u'\\': FBuffer.append("\\\\"); break;
            case u'\b': FBuffer.append("\\b"); break;
            case u'\f': FBuffer.append("\\f"); break;
            case u'\n': FBuffer.append("\\n"); break;
            case u'\r': FBuffer.append("\\r"); break;
            case u'\t': FBuffer.append("\\t"); break;
            default:
                if (c < 0x20) {
                    char escaped[8];
                    std::snprintf(escaped, sizeof escaped, "\\u%04x", unsigned(c));
                    FBuffer.append(escaped);
                } else {
                    FBuffer.append(char(c));
                }
            }
            ++i;
        }
        FBuffer.append('"');
        return FlushIfFull();
    }

    TJsonOut& Bool(bool value) { return Raw(value ? "true" : "false"); }

    // Writes what is left; false (with errno set) when stdout took less.
    bool Finish()
    {
        Flush();
        return !FFailed && std::fflush(stdout) == 0;
    }

private:
    static constexpr qsizetype BlockSize = 1 << 20;

    TJsonOut& FlushIfFull()
    {
        if (FBuffer.size() >= BlockSize)
            Flush();
        return *this;
    }
    void Flush()
    {
        if (!FFailed && !FBuffer.isEmpty() &&
            std::fwrite(FBuffer.constData(), 1, size_t(FBuffer.size()), stdout) != size_t(FBuffer.size()))
            FFailed = true;
        FBuffer.clear();
    }

    QByteArray FBuffer;
    bool FFailed = false;
};

} // namespace

int CmdSplit(const QStringList& args)
{
    QCommandLineParser parser;
    parser.addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("Script files, in order."),
                                 QStringLiteral("FILE..."));
    if (!ParseCommandLine(parser, QStringLiteral("split"),
                          QStringLiteral("Prints, as a JSON array with one object per file, the encoding each "
                                         "script file is read in, its USE and GO N flags and its batches, each "
                                         "batch the list of its lines exactly as kept."),
                          args))
        return exitOK;
    const QStringList files = parser.positionalArguments();
    if (files.isEmpty())
        throw ECliUsage(QStringLiteral("no script file given"));

    // Every file is split before anything is printed, so a file that fails
    // leaves no half-written JSON behind.
    std::vector<std::unique_ptr<TSQLFile>> split;
    for (const QString& path : files) {
        auto file = std::make_unique<TSQLFile>(path);
        try {
            file->SplitSQL();
        } catch (const EOrvexaError& e) {
            WriteErr(e.Message() + QLatin1Char('\n'));
            return exitFail;
        }
        split.push_back(std::move(file));
    }

    TJsonOut out;
    out.Raw("[");
    for (size_t f = 0; f < split.size(); ++f) {
        const TSQLFile& file = *split[f];
        out.Raw(f == 0 ? "\n    {\n        \"path\": " : ",\n    {\n        \"path\": ").String(file.SQLName());
        out.Raw(",\n        \"encoding\": ").String(TEncodingDetector::Name(file.Encoding()));
        out.Raw(",\n        \"useDBWarn\": ").Bool(file.UseDBWarn);
        out.Raw(",\n        \"goNWarn\": ").Bool(file.GoNWarn);
        out.Raw(",\n        \"batches\": [");
        for (qsizetype b = 0; b < file.BatchCount(); ++b) {
            out.Raw(b == 0 ? "\n            [" : ",\n            [");
            bool first = true;
            file.ForEachLine(b, [&](QStringView line) {
                out.Raw(first ? "" : ", ").String(line);
                first = false;
            });
            out.Raw("]");
        }
        out.Raw(file.BatchCount() > 0 ? "\n        ]\n    }" : "]\n    }");
    }
    out.Raw(split.empty() ? "]\n" : "\n]\n");
    if (!out.Finish()) {
        WriteErr(QStringLiteral("Cannot write the output: %1\n").arg(QString::fromLocal8Bit(std::strerror(errno))));
        return exitFail;
    }
    return exitOK;
}
