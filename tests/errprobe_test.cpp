// Tests of errprobe, the interactive driver: the real program answers a dialogue given
// through a pipe all at once, through pipes one answer per prompt, and typed on a
// pseudo-terminal, against a configuration and a compiled catalogue made in a fresh
// directory. Its whole output is compared byte for byte, the date stamp aside.
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <ostream>
#include <poll.h>
#include <regex>
#include <string>
#include <sys/wait.h>
#include <termios.h>
#include <tuple>
#include <unistd.h>
#include <utility>
#include <vector>

namespace
{

using tarvik::test::ExitChild;
using tarvik::test::Outcome;
using tarvik::test::ProgramRun;
using tarvik::test::RunProgram;
using tarvik::test::TempDir;
using tarvik::test::WriteFile;

const char *const kPrompts[] = {
    "Entrez le nom d'application : ",    "Entrez le code d'erreur : ",
    "Entrez le type d'erreur : ",        "Entrez le champ \"source\" : ",
    "Entrez le champ \"extra info\" : ",
};
constexpr int kPromptCount = 5;

// The fields of one framed report, as the report shows them.
struct Report {
    std::string app, cls, code, type, source, body, extra;
};

std::string Framed(const Report &r)
{
    return "==== TARVIK MESSAGE ==== <date>\nApplication : " + r.app + "\nClass : " + r.cls +
           "\nCode : $" + r.code + "\nType :" + r.type + "\nSource : " + r.source +
           "\nBody : " + r.body + "\nExtra : " + r.extra + "\n========================\n\n";
}

// Stands in the expected body of a code -1 report: any text of the system's errno table.
constexpr char kErrnoText[] = "<errno text>";

// Replaces the date stamp by <date> and, when errnoBody, a body that is the text of some
// errno value by kErrnoText. A stamp or body of another form is left for the comparison
// to show.
std::string Normalise(const std::string &out, bool errnoBody)
{
    static const std::regex stamp("(==== TARVIK MESSAGE ==== )[0-3][0-9]-(Jan|Feb|Mar|Apr|May|"
                                  "Jun|Jul|Aug|Sep|Oct|Nov|Dec)-[0-9]{2,3} [0-2][0-9]:[0-5][0-9]"
                                  ":[0-6][0-9]");
    std::string text = std::regex_replace(out, stamp, "$1<date>");
    if (!errnoBody)
        return text;
    const std::size_t from = text.find("\nBody : ");
    if (from == std::string::npos)
        return text;
    const std::size_t begin = from + 8, end = text.find_first_of("\r\n", begin);
    const std::string body = text.substr(begin, end - begin);
    for (int e = 0; e < 256; ++e)
        if (body == strerror(e))
            return text.replace(begin, end - begin, kErrnoText);
    return text;
}

// How the answers reach errprobe.
enum class Channel {
    Batch,    // all of them at once, through a pipe, before errprobe prints anything
    Pipes,    // each through a pipe once its prompt has come out of another pipe
    Terminal, // each typed on a pseudo-terminal once its prompt has appeared there
};

// errprobe in a directory of its own, with the catalogue of class NET (1) placed by the
// Tarvik.cfg there and none of the caller's configuration variables.
class ErrprobeTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        WriteFile(dir_ / "app.err", ".CLASS net 1\nConnRefused \"Connection refused by peer\"\n"
                                    "Timeout \"No answer in time\"\n");
        ProgramRun compile;
        compile.args = {"app.err"};
        compile.cwd = dir_.path();
        const Outcome compiled = RunProgram(TARVIK_COMPILE_PATH, compile);
        ASSERT_EQ(compiled.status, 0) << compiled.out;
        WriteFile(dir_ / "Tarvik.cfg", ".CLASS net 1\n");
    }

    // Feeds the answers (each one line, newline included) through a pipe; the input
    // ends after them.
    Outcome ThroughPipe(const std::vector<std::string> &answers) const
    {
        ProgramRun run = Environment();
        for (const std::string &answer : answers)
            run.input += answer;
        return RunProgram(ERRPROBE_PATH, run);
    }

    // Writes each answer once its prompt has appeared (Pipes or Terminal); once the
    // answers are used up, the input ends. Returns all that errprobe showed: on a
    // terminal that holds the echo of the answers, and every line ends in CR LF.
    Outcome Converse(Channel channel, const std::vector<std::string> &answers) const;

    Outcome Run(Channel channel, const std::vector<std::string> &answers) const
    {
        return channel == Channel::Batch ? ThroughPipe(answers) : Converse(channel, answers);
    }

    ProgramRun Environment() const
    {
        ProgramRun run;
        run.cwd = dir_.path();
        run.env = {{"TARVIK_CFG_DIR", dir_.path()}};
        run.unset = {"TARVIK_CFG_FILE", "TARVIK_CFG_DIR_USER"};
        return run;
    }

    TempDir dir_;
};

// What one read of errprobe's output gave.
enum class Got { Data, End, Nothing };

// Appends what fd gives within 20 seconds to out.
Got ReadOutput(int fd, std::string &out)
{
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 20000) <= 0)
        return Got::Nothing;
    char chunk[4096];
    const ssize_t n = read(fd, chunk, sizeof chunk);
    if (n <= 0) // 0 on a pipe, EIO on a terminal, once errprobe has exited
        return Got::End;
    out.append(chunk, std::size_t(n));
    return Got::Data;
}

Outcome ErrprobeTest::Converse(Channel channel, const std::vector<std::string> &answers) const
{
    Outcome outcome;
    int toChild = -1, fromChild = -1; // the parent's ends
    int childIn = -1, childOut = -1;  // the child's standard input and output
    std::string terminal;             // the pseudo-terminal's slave side
    if (channel == Channel::Terminal) {
        toChild = fromChild = posix_openpt(O_RDWR | O_NOCTTY);
        if (toChild < 0 || grantpt(toChild) != 0 || unlockpt(toChild) != 0) {
            ADD_FAILURE() << "pseudo-terminal: " << strerror(errno);
            return outcome;
        }
        terminal = ptsname(toChild);
    } else {
        int in[2], out[2];
        if (pipe(in) != 0 || pipe(out) != 0) {
            ADD_FAILURE() << "pipe: " << strerror(errno);
            return outcome;
        }
        childIn = in[0], toChild = in[1], fromChild = out[0], childOut = out[1];
    }
    const ProgramRun run = Environment();
    signal(SIGPIPE, SIG_IGN); // an answer to an errprobe that quit fails, and says so

    const pid_t pid = fork();
    if (pid == 0) {
        if (channel == Channel::Terminal) {
            setsid();
            childIn = childOut = open(terminal.c_str(), O_RDWR); // the controlling terminal
        }
        if (childIn < 0 || chdir(run.cwd.c_str()) != 0)
            ExitChild(126);
        dup2(childIn, STDIN_FILENO);
        dup2(childOut, STDOUT_FILENO);
        for (const int fd : {childIn, childOut, toChild, fromChild})
            if (fd > STDERR_FILENO)
                close(fd);
        for (const auto &name : run.unset)
            unsetenv(name.c_str());
        for (const auto &[name, value] : run.env)
            setenv(name.c_str(), value.c_str(), 1);
        execl(ERRPROBE_PATH, ERRPROBE_PATH, static_cast<char *>(nullptr));
        ExitChild(127);
    }
    if (channel != Channel::Terminal) {
        close(childIn);
        close(childOut);
    }

    // On a terminal the input ends with the end-of-file character at the start of a
    // line, given at every further prompt; through a pipe, by closing it.
    termios modes;
    const char endOfFile = tcgetattr(toChild, &modes) == 0 ? char(modes.c_cc[VEOF]) : '\4';
    std::size_t seen = 0; // where the search for the next prompt starts
    int asked = 0;
    Got got;
    while ((got = ReadOutput(fromChild, outcome.out)) == Got::Data) {
        for (std::size_t at; asked < kPromptCount &&
                             (at = outcome.out.find(kPrompts[asked], seen)) != std::string::npos;
             ++asked) {
            seen = at + strlen(kPrompts[asked]);
            if (std::size_t(asked) < answers.size()) {
                const std::string &typed = answers[std::size_t(asked)];
                if (write(toChild, typed.data(), typed.size()) != ssize_t(typed.size()))
                    ADD_FAILURE() << "cannot give the answer to prompt " << asked + 1;
            } else if (channel == Channel::Terminal) {
                if (write(toChild, &endOfFile, 1) != 1)
                    ADD_FAILURE() << "cannot end the input at prompt " << asked + 1;
            } else if (toChild >= 0) {
                close(std::exchange(toChild, -1));
            }
        }
    }
    if (got == Got::Nothing) {
        ADD_FAILURE() << "errprobe shows nothing more after prompt " << asked << ":\n"
                      << outcome.out;
        kill(pid, SIGKILL);
    }
    int waitStatus = 0;
    waitpid(pid, &waitStatus, 0);
    close(fromChild);
    if (channel != Channel::Terminal && toChild >= 0)
        close(toChild);
    outcome.status = WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : -1;
    return outcome;
}

// One dialogue: the answers typed, the report expected.
struct Dialogue {
    const char *name;
    std::vector<std::string> answers; // each a line with its newline; input ends after them
    Report report;
    bool errnoBody = false; // the body is the errno text at the time of the report
};

const char *NameOf(Channel channel)
{
    return channel == Channel::Batch ? "Batch" : channel == Channel::Pipes ? "Pipes" : "Terminal";
}

void PrintTo(Channel channel, std::ostream *os)
{
    *os << NameOf(channel);
}

// Names the dialogue in test listings and failure messages.
void PrintTo(const Dialogue &d, std::ostream *os)
{
    *os << d.name;
}

// The whole output: every prompt (with the answer's echo on a terminal), then the report.
std::string Expected(Channel channel, const Dialogue &d)
{
    std::string out;
    for (int i = 0; i < kPromptCount; ++i) {
        out += kPrompts[i];
        if (channel == Channel::Terminal && std::size_t(i) < d.answers.size())
            out += d.answers[i];
    }
    out += Framed(d.report);
    if (channel == Channel::Terminal)
        out = std::regex_replace(out, std::regex("\n"), "\r\n");
    return out;
}

const std::string k79(79, 'x');

const Dialogue kDialogues[] = {
    {"DecimalCode",
     {"billing\n", "65537\n", "24\n", "net.client - connect\n", "host db1 port 5432\n"},
     {"billing", "NET (1)", "10001", " ERROR FATAL", "net.client - connect",
      "Connection refused by peer", "host db1 port 5432"}},
    {"SecondCodeWithBlanksAroundIt",
     {"billing\n", "  65538 \n", "1\n", "s\n", "e\n"},
     {"billing", "NET (1)", "10002", " DEBUG", "s", "No answer in time", "e"}},
    {"SystemError",
     {"billing\n", "-1\n", "8\n", "store - open\n", "orders.dat\n"},
     {"billing", " (0)", "ffffffff", " ERROR", "store - open", kErrnoText, "orders.dat"},
     true},
    // Every answer empty: the empty name, code 0 (class 0, not configured), type 0.
    {"EmptyAnswers", {"\n", "\n", "\n", "\n", "\n"}, {"", " (0)", "0", "", "", "", ""}},
    // atoi stops at the x of 0x10001.
    {"HexadecimalCodeIsZero",
     {"billing\n", "0x10001\n", "4\n", "s\n", "e\n"},
     {"billing", " (0)", "0", " WARNING", "s", "", "e"}},
    // Input ends after the name: the code and the type are converted from the name.
    {"EndOfInputBeforeCode", {"12\n"}, {"12", " (0)", "c", " WARNING ERROR", "", "", ""}},
    {"EndOfInputBeforeSource",
     {"billing\n", "65537\n", "2\n"},
     {"billing", "NET (1)", "10001", " INFORMATION", "", "Connection refused by peer", ""}},
    // Answers of 79 characters fit; longer ones keep their first 79, and the rest of
    // their line never reaches the next prompt.
    {"AnswerOf79Characters",
     {"billing\n", "65537\n", "8\n", k79 + "\n", "next\n"},
     {"billing", "NET (1)", "10001", " ERROR", k79, "Connection refused by peer", "next"}},
    {"AnswerOf80CharactersIsCut",
     {"billing\n", "65537\n", "8\n", k79 + "y\n", "next\n"},
     {"billing", "NET (1)", "10001", " ERROR", k79, "Connection refused by peer", "next"}},
    {"LongAnswerIsCutAndItsRestDiscarded",
     {"billing\n", "65537\n", "8\n", k79 + std::string(150, 'z') + "\n", "next\n"},
     {"billing", "NET (1)", "10001", " ERROR", k79, "Connection refused by peer", "next"}},
    // Were the rest of the code line read as the type, the type would be 99.
    {"LongCodeLineLeavesTheTypeAlone",
     {"billing\n", "65537" + std::string(80, ' ') + "99\n", "16\n", "s\n", "e\n"},
     {"billing", "NET (1)", "10001", " FATAL", "s", "Connection refused by peer", "e"}},
};

class DialogueTest : public ErrprobeTest,
                     public ::testing::WithParamInterface<std::tuple<Channel, Dialogue>>
{
};

TEST_P(DialogueTest, PrintsEveryPromptThenTheReport)
{
    const auto &[channel, dialogue] = GetParam();
    const Outcome outcome = Run(channel, dialogue.answers);
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(Normalise(outcome.out, dialogue.errnoBody), Expected(channel, dialogue));
}

INSTANTIATE_TEST_SUITE_P(Errprobe, DialogueTest,
                         ::testing::Combine(::testing::Values(Channel::Batch, Channel::Pipes,
                                                              Channel::Terminal),
                                            ::testing::ValuesIn(kDialogues)),
                         [](const ::testing::TestParamInfo<DialogueTest::ParamType> &info) {
                             return std::string(NameOf(std::get<0>(info.param))) + "_" +
                                    std::get<1>(info.param).name;
                         });

// A NUL byte ends an answer's text but not its line: the rest of an over-long line is
// discarded all the same, and the next answer comes from the next line.
TEST_F(ErrprobeTest, OverLongAnswerHoldingNulIsDiscardedWhole)
{
    const std::string nul(1, '\0');
    const Outcome outcome = ThroughPipe(
        {"billing\n", "65537\n", "8\n", "ab" + nul + std::string(100, 'z') + "\n", "next\n"});
    EXPECT_EQ(outcome.status, 0);
    const Dialogue expected = {
        "",
        {},
        {"billing", "NET (1)", "10001", " ERROR", "ab", "Connection refused by peer", "next"}};
    EXPECT_EQ(Normalise(outcome.out, false), Expected(Channel::Batch, expected));
}

// --help and --version print their text and send nothing.
TEST_F(ErrprobeTest, ProgramFlags)
{
    const struct {
        const char *arg;
        std::string out;
    } cases[] = {
        {"--help", "\nUsage : errprobe\n"
                   "\n        demande le nom d'application, le code et le type d'erreur (en "
                   "decimal),\n"
                   "        les champs \"source\" et \"extra info\", puis envoie le message "
                   "d'erreur\n"
                   "\n        errprobe --help     affiche ce texte\n"
                   "        errprobe --version  affiche la version\n"},
        {"--version", "errprobe (Tarvik) " TARVIK_VERSION "\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.arg);
        ProgramRun run = Environment();
        run.args = {c.arg};
        run.input = "billing\n65537\n8\ns\ne\n";
        const Outcome outcome = RunProgram(ERRPROBE_PATH, run);
        EXPECT_EQ(outcome.out, c.out);
        EXPECT_EQ(outcome.status, 0);
    }
}

// The configuration is read when the name has been given: its diagnostic stands between
// the first two prompts. With no class table, ErrSend reads it again and sends nothing.
TEST_F(ErrprobeTest, ConfigurationIsReadBetweenNameAndCode)
{
    ASSERT_EQ(remove((dir_ / "Tarvik.cfg").c_str()), 0);
    const Outcome outcome = ThroughPipe({"billing\n", "65537\n", "8\n", "s\n", "e\n"});
    const std::string missing = "Tarvik - ErrCfgInit() : Impossible de trouver le fichier \"" +
                                (dir_ / "Tarvik.cfg") + "\"\n";
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.out, std::string(kPrompts[0]) + missing + kPrompts[1] + kPrompts[2] +
                               kPrompts[3] + kPrompts[4] + missing +
                               "Tarvik - ErrSend() : Probleme a l'init de la config du package "
                               "Tarvik\n");
}

} // namespace
