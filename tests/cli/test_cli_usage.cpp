#include "CliProcess.h"

#include <gtest/gtest.h>

// Every usage error exits 2 with one line on stderr that names what is wrong
// and points at the command's help, and runs nothing.
TEST(CliUsage, EachUsageErrorIsOneLineAndExitTwo)
{
    struct Case {
        QStringList args;
        const char* mentions;  // part of the one line
        const char* help;      // the help it points at
    };
    const Case cases[] = {
        {{}, "no command", "orvexa-cli --help"},
        {{"frobnicate"}, "unknown command 'frobnicate'", "orvexa-cli --help"},
        {{"run", "--bogus", "x.sql"}, "bogus", "orvexa-cli run --help"},
        {{"run"}, "no script file", "orvexa-cli run --help"},
        {{"run", "--target", "nodatabase", "x.sql"}, "INSTANCE/DATABASE", "orvexa-cli run --help"},
        {{"run", "--target", "srv/db", "--list", "l.xml", "x.sql"}, "one kind of target", "orvexa-cli run --help"},
        {{"run", "--user", "sa", "x.sql"}, "--user", "orvexa-cli run --help"},
        {{"run", "--continue-on-error", "--stop-on-error", "x.sql"}, "--continue-on-error", "orvexa-cli run --help"},
        {{"run", "--transaction", "--no-transaction", "x.sql"}, "--transaction", "orvexa-cli run --help"},
        {{"run", "--results", "--no-results", "x.sql"}, "--results", "orvexa-cli run --help"},
        {{"split"}, "no script file", "orvexa-cli split --help"},
        {{"databases"}, "--instance", "orvexa-cli databases --help"},
        {{"check", "--instance"}, "instance", "orvexa-cli check --help"},
        {{"list"}, "show, import, export or clear", "orvexa-cli list --help"},
        {{"list", "shuffle"}, "shuffle", "orvexa-cli list --help"},
        {{"list", "import"}, "FILE", "orvexa-cli list --help"},
        {{"list", "show", "extra"}, "extra", "orvexa-cli list --help"},
    };
    const TCli cli;
    for (const Case& c : cases) {
        const TCliResult r = cli.Run(c.args);
        const std::string what = c.args.join(QLatin1Char(' ')).toStdString() + " -> " + r.Err.toStdString();
        EXPECT_EQ(r.ExitCode, 2) << what;
        EXPECT_EQ(r.Err.count(QLatin1Char('\n')), 1) << what;
        EXPECT_TRUE(r.Err.contains(QLatin1String(c.mentions))) << what;
        EXPECT_TRUE(r.Err.contains(QLatin1String(c.help))) << what;
        EXPECT_TRUE(r.Out.isEmpty()) << what;
    }
}

TEST(CliUsage, HelpOnEveryCommand)
{
    const TCli cli;
    for (const char* command : {"run", "split", "databases", "check", "list"}) {
        const TCliResult r = cli.Run({QLatin1String(command), QStringLiteral("--help")});
        EXPECT_EQ(r.ExitCode, 0) << command;
        EXPECT_TRUE(r.Out.startsWith(QStringLiteral("Usage: orvexa-cli ") + QLatin1String(command))) << r.Out.toStdString();
    }
    const TCliResult top = cli.Run({QStringLiteral("--help")});
    EXPECT_EQ(top.ExitCode, 0);
    EXPECT_TRUE(top.Out.contains(QStringLiteral("databases")));
}
