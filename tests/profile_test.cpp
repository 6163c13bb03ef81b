// The information file: how values are found and cut, how integers and
// booleans are read, what bad files give, and how the main window loads the
// job from the file named on the command line.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "LoopTesting.h"
#include "Profile.h"
#include "ProgramRun.h"
#include "TransMainF.h"

namespace {

using namespace std::chrono_literals;

struct IntegerCase {
    const char* Text;
    std::optional<std::int32_t> Expected;  // nullopt: unreadable
};

class IntegerText : public ::testing::TestWithParam<IntegerCase> {};

TEST_P(IntegerText, ReadsOrRejects) {
    const IntegerCase& row = GetParam();
    EXPECT_EQ(TryStrToInt(row.Text), row.Expected) << '"' << row.Text << '"';
    EXPECT_EQ(StrToIntDef(row.Text, 77), row.Expected.value_or(77)) << '"' << row.Text << '"';
}

INSTANTIATE_TEST_SUITE_P(
    Table, IntegerText,
    ::testing::Values(
        // Decimal.
        IntegerCase{"0", 0}, IntegerCase{"42", 42}, IntegerCase{"007", 7}, IntegerCase{"+7", 7},
        IntegerCase{"-0", 0}, IntegerCase{"-15", -15}, IntegerCase{"   42", 42},
        IntegerCase{"2147483647", 2147483647}, IntegerCase{"-2147483647", -2147483647},
        IntegerCase{"2147483648", std::nullopt}, IntegerCase{"-2147483648", std::nullopt},
        IntegerCase{"99999999999999999999", std::nullopt},
        // Hexadecimal, "0x" in front becoming "$".
        IntegerCase{"0x400", 1024}, IntegerCase{"$400", 1024}, IntegerCase{"0X1f", 31}, IntegerCase{"0x0", 0},
        IntegerCase{" $10", 16}, IntegerCase{"0xFFFFFFFF", -1}, IntegerCase{"$80000000", INT32_MIN},
        IntegerCase{"$7FFFFFFF", 2147483647}, IntegerCase{"$000000001", 1},
        IntegerCase{"$100000000", std::nullopt}, IntegerCase{"0x1FFFFFFFF", std::nullopt},
        // Unreadable.
        IntegerCase{"", std::nullopt}, IntegerCase{"   ", std::nullopt}, IntegerCase{"abc", std::nullopt},
        IntegerCase{"12abc", std::nullopt}, IntegerCase{"42 ", std::nullopt}, IntegerCase{"4 2", std::nullopt},
        IntegerCase{"1e3", std::nullopt}, IntegerCase{"+", std::nullopt}, IntegerCase{"-", std::nullopt},
        IntegerCase{"$", std::nullopt}, IntegerCase{"0x", std::nullopt}, IntegerCase{"$G", std::nullopt},
        IntegerCase{"-0x400", std::nullopt}, IntegerCase{"+0x10", std::nullopt}, IntegerCase{"-$10", std::nullopt},
        IntegerCase{"$-1", std::nullopt}, IntegerCase{" 0x10", std::nullopt}, IntegerCase{"$10 ", std::nullopt}));

// Writes an information file for one test and removes it afterwards.
class IniFileTest : public ::testing::Test {
protected:
    std::string Write(const std::string& text, const std::string& name = "info.ini") {
        std::filesystem::path path = Dir / name;
        WriteFile(path, text);
        return path.string();
    }
    TTempDir Dir{"tavix-profile"};
};

struct ValueCase {
    const char* Name;
    std::string Text;
    const char* Section;
    const char* Key;
    std::string Expected;  // "<default>" when the default comes back
};

class IniValue : public IniFileTest, public ::testing::WithParamInterface<ValueCase> {};

TEST_P(IniValue, IsFoundTrimmedUnquotedAndCut) {
    const ValueCase& row = GetParam();
    TIniFile ini(Write(row.Text));
    EXPECT_EQ(ini.ReadString(row.Section, row.Key, "<default>"), row.Expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, IniValue,
    ::testing::Values(
        ValueCase{"Plain", "[Login]\nServer=ftp.example.com\n", "Login", "Server", "ftp.example.com"},
        ValueCase{"SectionAndKeyIgnoreCase", "[LOGIN]\nsErVeR=host\n", "login", "SERVER", "host"},
        ValueCase{"BlanksAroundKeyAndValue", "[Login]\n \t Server \t=  a b c \t \n", "Login", "Server", "a b c"},
        ValueCase{"BlanksInSectionName", "[ Login ]\nServer=x\n", "Login", "Server", "x"},
        ValueCase{"CrLfLines", "[Login]\r\nServer=host\r\nUsername=me\r\n", "Login", "Username", "me"},
        ValueCase{"EverythingAfterTheFirstEquals", "[Login]\nPassword=a=b==\n", "Login", "Password", "a=b=="},
        ValueCase{"DoubleQuotes", "[Login]\nPassword=\" padded \"\n", "Login", "Password", " padded "},
        ValueCase{"SingleQuotes", "[Login]\nPassword='x'\n", "Login", "Password", "x"},
        ValueCase{"OnlyOnePairRemoved", "[Login]\nPassword=\"\"x\"\"\n", "Login", "Password", "\"x\""},
        ValueCase{"MismatchedQuotesKept", "[Login]\nPassword=\"x'\n", "Login", "Password", "\"x'"},
        ValueCase{"LoneQuoteKept", "[Login]\nPassword=\"\n", "Login", "Password", "\""},
        ValueCase{"EmptyQuotes", "[Login]\nPassword=\"\"\n", "Login", "Password", ""},
        ValueCase{"EmptyValueIsNotMissing", "[Login]\nPassword=\n", "Login", "Password", ""},
        ValueCase{"FirstOccurrenceCounts", "[Login]\nServer=one\nServer=two\n", "Login", "Server", "one"},
        ValueCase{"ByteOrderMark", "\xEF\xBB\xBF[Login]\nServer=x\n", "Login", "Server", "x"},
        ValueCase{"NulEndsTheValue", std::string("[Login]\nServer=ab\0cd\n", 21), "Login", "Server", "ab"},
        ValueCase{"LongValueCut", "[Login]\nServer=" + std::string(2000, 'a') + "\n", "Login", "Server",
                  std::string(1023, 'a')},
        ValueCase{"LongQuotedValueUnquotedThenCut",
                  "[Login]\nServer=\"" + std::string(1022, 'a') + "bc\"\n", "Login", "Server",
                  std::string(1022, 'a') + "b"},
        ValueCase{"MissingKey", "[Login]\nServer=x\n", "Login", "Username", "<default>"},
        ValueCase{"MissingSection", "[File]\nServer=x\n", "Login", "Server", "<default>"},
        ValueCase{"KeyOfAnotherSection", "[Login]\nServer=x\n[File]\nSize=1\n", "File", "Server", "<default>"},
        ValueCase{"KeyBeforeAnySection", "Server=x\n[Login]\n", "Login", "Server", "<default>"},
        ValueCase{"LineWithoutEquals", "[Login]\nServer\n", "Login", "Server", "<default>"}),
    [](const ::testing::TestParamInfo<ValueCase>& row) { return std::string(row.param.Name); });

TEST_F(IniFileTest, ProfileStringFillsTheCallersBufferWithinItsSize) {
    std::string path = Write("[Login]\nServer=abcdef\n");
    char buffer[8];
    std::fill(std::begin(buffer), std::end(buffer), 'X');
    EXPECT_EQ(GetPrivateProfileStringA("Login", "Server", "", buffer, 4, path.c_str()), 3u);
    EXPECT_STREQ(buffer, "abc");
    EXPECT_EQ(buffer[4], 'X');
    EXPECT_EQ(GetPrivateProfileStringA("Login", "Nothing", "dflt", buffer, sizeof buffer, path.c_str()), 4u);
    EXPECT_STREQ(buffer, "dflt");
}

struct BoolCase {
    const char* Value;
    bool Expected;
};

class IniBool : public IniFileTest, public ::testing::WithParamInterface<BoolCase> {};

TEST_P(IniBool, IsAnIntegerThatIsNotZero) {
    TIniFile ini(Write(std::string("[File]\nSend=") + GetParam().Value + "\n"));
    EXPECT_EQ(ini.ReadBool("File", "Send", false), GetParam().Expected) << GetParam().Value;
}

INSTANTIATE_TEST_SUITE_P(Table, IniBool,
                         ::testing::Values(BoolCase{"1", true}, BoolCase{"-1", true}, BoolCase{"0x10", true},
                                           BoolCase{"$1", true}, BoolCase{"2", true}, BoolCase{"0", false},
                                           BoolCase{"", false}, BoolCase{"true", false}, BoolCase{"yes", false},
                                           BoolCase{"1 2", false}, BoolCase{"0x0", false}));

// The seven values LoadJob reads, through the same calls.
struct SevenValues {
    std::string Server, Username, Password;
    bool Send;
    std::string RemotePath, LocalPath;
    std::int32_t Size;
};

SevenValues ReadSeven(const std::string& path) {
    TIniFile ini(path);
    return {ini.ReadString("Login", "Server", ""),       ini.ReadString("Login", "Username", ""),
            ini.ReadString("Login", "Password", ""),     ini.ReadBool("File", "Send", false),
            ini.ReadString("File", "RemotePath", ""),    ini.ReadString("File", "LocalPath", ""),
            ini.ReadInteger("File", "Size", 0)};
}

void ExpectDefaults(const SevenValues& values) {
    EXPECT_EQ(values.Server, "");
    EXPECT_EQ(values.Username, "");
    EXPECT_EQ(values.Password, "");
    EXPECT_FALSE(values.Send);
    EXPECT_EQ(values.RemotePath, "");
    EXPECT_EQ(values.LocalPath, "");
    EXPECT_EQ(values.Size, 0);
}

TEST_F(IniFileTest, BadFilesReadAsDefaults) {
    std::filesystem::create_directory(Dir / "folder");
    std::vector<std::string> paths = {
        (Dir / "absent.ini").string(),
        (Dir / "folder").string(),
        Write("", "empty.ini"),
        Write(PatternBytes(1 << 20, 7), "binary.ini"),
        Write(std::string(4096, '\0'), "zeros.ini"),
        Write("[Login\nServer\n=\n[]\n[File]]]\n==\n", "broken.ini"),
    };
    for (const std::string& path : paths) {
        SCOPED_TRACE(path);
        ExpectDefaults(ReadSeven(path));
    }
}

std::uint64_t PeakResidentKilobytes() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<std::uint64_t>(usage.ru_maxrss);
}

// A 50 MB file with huge lines, written in pieces so that the test itself
// stays small: the values are still found, cut at 1023 characters, quickly,
// and reading does not hold the file (or one of its lines) in memory.
TEST_F(IniFileTest, HugeFileWithHugeLinesReadsQuicklyInLittleMemory) {
    std::filesystem::path path = Dir / "huge.ini";
    {
        std::ofstream out(path, std::ios::binary);
        std::string piece(1 << 20, 'u');
        out << "[Login]\r\nServer=ftp.example.com\r\nUsername=";
        for (int i = 0; i < 20; ++i) out << piece;
        out << "\r\nPassword=\"";
        piece.assign(1 << 20, 'p');
        for (int i = 0; i < 20; ++i) out << piece;
        out << "\"  \r\n";
        piece.assign(1 << 20, ';');
        for (int i = 0; i < 10; ++i) out << piece;
        out << "\r\n[File]\r\nSend=1\r\nRemotePath=/pub/readme.txt\r\nLocalPath=C:\\data\\out.txt\r\nSize=0x400\r\n";
        ASSERT_TRUE(out.flush());
    }
    ASSERT_GE(std::filesystem::file_size(path), 50u << 20);

    std::uint64_t peakBefore = PeakResidentKilobytes();
    auto start = std::chrono::steady_clock::now();
    SevenValues values = ReadSeven(path.string());
    auto took = std::chrono::steady_clock::now() - start;
    std::uint64_t grown = PeakResidentKilobytes() - peakBefore;

    EXPECT_EQ(values.Server, "ftp.example.com");
    EXPECT_EQ(values.Username, std::string(1023, 'u'));
    EXPECT_EQ(values.Password, std::string(1023, 'p'));
    EXPECT_TRUE(values.Send);
    EXPECT_EQ(values.RemotePath, "/pub/readme.txt");
    EXPECT_EQ(values.LocalPath, "C:\\data\\out.txt");
    EXPECT_EQ(values.Size, 1024);
    EXPECT_LT(took, 10s);
    EXPECT_LT(grown, 16u * 1024) << "kilobytes of peak memory added by reading";
}

// LoadJob through the main window, with the message boxes answered by a
// scripted renderer that keeps their caption and text.
class LoadJobTest : public ::testing::Test {
protected:
    void SetUp() override {
        Renderer = FreshScriptedApplication();
        TransMain = new TTransMain(nullptr);
        Job = TransferJob{true, "old remote", "old local", 99};
    }
    void TearDown() override {
        delete TransMain;
        TransMain = nullptr;
    }

    // Answers the next message box with OK and keeps what it said.
    void ExpectMessageBox() {
        Renderer->Answers.push_back([this](TForm& box) {
            Boxes.push_back(box.Caption() + "|" + static_cast<TLabel*>(box.Controls().front())->Caption());
            TScriptedRenderer::ClickButton("OK")(box);
        });
    }

    TScriptedRenderer* Renderer = nullptr;
    std::vector<std::string> Boxes;
    TTempDir Dir{"tavix-loadjob"};
    TLoopWatchdog Watchdog{10s};
};

TEST_F(LoadJobTest, WithoutArgumentOrFileItSaysWhyAndLoadsNothing) {
    std::filesystem::create_directory(Dir / "folder");
    struct Case {
        std::vector<std::string> Arguments;
        std::string Box;
    };
    const std::string missing = (Dir / "no such.ini").string();
    const std::string folder = (Dir / "folder").string();
    std::vector<Case> cases = {
        {{}, "Error|Neccessary information-file not supplied!\r\rPlease pass the neccessary INI file's name "
             "as a parameter!"},
        {{missing}, "Error|Neccessary information-file not found! (" + missing + ")"},
        {{folder, "more"}, "Error|Neccessary information-file not found! (" + folder + ")"},
        {{""}, "Error|Neccessary information-file not found! ()"},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.Box);
        Boxes.clear();
        ExpectMessageBox();
        TransMain->Arguments = row.Arguments;
        EXPECT_FALSE(TransMain->LoadJob());
        EXPECT_EQ(Boxes, std::vector<std::string>{row.Box});
        EXPECT_EQ(Job.RemotePath, "old remote");
    }
    EXPECT_TRUE(std::filesystem::is_directory(folder));
}

TEST_F(LoadJobTest, ReadsTheSevenValuesAndDeletesTheFile) {
    std::string path = (Dir / "job.ini").string();
    WriteFile(path,
              "; written by the caller\r\n[login]\r\nserver = ftp.example.com \r\nUSERNAME=\"anne\"\r\n"
              "Password='se cret'\r\n[FILE]\r\nSend=-1\r\nRemotePath=/pub/readme.txt\r\n"
              "LocalPath=C:\\data\\readme.txt\r\nSize=$400\r\n");
    TransMain->Arguments = {path};
    EXPECT_TRUE(TransMain->LoadJob());
    EXPECT_EQ(TransMain->FTP->Host, "ftp.example.com");
    EXPECT_EQ(TransMain->FTP->UserID, "anne");
    EXPECT_EQ(TransMain->FTP->Password, "se cret");
    EXPECT_TRUE(Job.Send);
    EXPECT_EQ(Job.RemotePath, "/pub/readme.txt");
    EXPECT_EQ(Job.LocalPath, "C:\\data\\readme.txt");
    EXPECT_EQ(Job.Size, 1024);
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_EQ(Renderer->Count("modal Error"), 0u);
}

TEST_F(LoadJobTest, MissingValuesTakeTheirDefaultsAndAnUndeletableFileIsNoError) {
    // procfs refuses to delete its files, even to root.
    TransMain->Arguments = {"/proc/self/status"};
    EXPECT_TRUE(TransMain->LoadJob());
    EXPECT_EQ(TransMain->FTP->Host, "");
    EXPECT_FALSE(Job.Send);
    EXPECT_EQ(Job.RemotePath, "");
    EXPECT_EQ(Job.LocalPath, "");
    EXPECT_EQ(Job.Size, 0);
    EXPECT_TRUE(std::filesystem::exists("/proc/self/status"));
}

}  // namespace
