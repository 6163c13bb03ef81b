// The attempt loop of the main window against a scripted client: what one
// attempt calls, how failures end it, how the retry dialog's answers set the
// next series, the transfer type and labels, and the start and halt timers.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "LoopTesting.h"
#include "ProgramRun.h"
#include "RetryFormF.h"
#include "TransMainF.h"

namespace {

using namespace std::chrono_literals;
using TAnswer = TScriptedRenderer::TAnswer;
using TCalls = std::vector<std::string>;

// Records every call; a call named in Failures throws that many times before
// it succeeds.
class TScriptedClient : public TTransferClient {
public:
    TCalls Calls;
    std::vector<std::uint64_t> Times;
    std::map<std::string, int> Failures;

    void Connect() override { Call("Connect", "Connect"); }
    void Mode(int TheMode) override { Call("Mode", "Mode " + std::to_string(TheMode)); }
    void Download(const std::string& RemoteFile, const std::string& LocalFile) override {
        Call("Download", "Download " + RemoteFile + " " + LocalFile);
    }
    void Upload(const std::string& LocalFile, const std::string& RemoteFile) override {
        Call("Upload", "Upload " + LocalFile + " " + RemoteFile);
    }
    void Disconnect() override { Call("Disconnect", "Disconnect"); }
    void Abort() override { Call("Abort", "Abort"); }

    std::size_t Count(const std::string& name) const {
        std::size_t count = 0;
        for (const std::string& call : Calls) count += call.rfind(name, 0) == 0;
        return count;
    }

private:
    void Call(const std::string& name, std::string call) {
        Calls.push_back(std::move(call));
        Times.push_back(GetTickCount64());
        auto failing = Failures.find(name);
        if (failing == Failures.end() || failing->second == 0) return;
        --failing->second;
        throw Exception(name + " failed");
    }
};

constexpr int Always = 1 << 30;
const char* const RetryCaption = "modal Unable login to server...";

class DriverTest : public ::testing::Test {
protected:
    void SetUp() override {
        Renderer = FreshScriptedApplication();
        TransMain = new TTransMain(nullptr);
        RetryForm = new TRetryForm(nullptr);
        TransMain->Client = &Client;
        TransMain->OnHalt = [this] { Halts.push_back(GetTickCount64()); };
        Job = TransferJob{false, "/pub/readme.txt", "C:\\in\\readme.txt", 0};
    }
    void TearDown() override {
        delete TransMain;
        TransMain = nullptr;
        delete RetryForm;
        RetryForm = nullptr;
    }

    void Answer(std::vector<TAnswer> answers) {
        for (TAnswer& answer : answers) Renderer->Answers.push_back(std::move(answer));
    }
    static TAnswer Click(const char* button) { return TScriptedRenderer::ClickButton(button); }
    static TAnswer Count(const char* text) { return TScriptedRenderer::SetSpinText("SpinEdit1", text, Click("Button3")); }

    TScriptedRenderer* Renderer = nullptr;
    TScriptedClient Client;
    std::vector<std::uint64_t> Halts;
    TLoopWatchdog Watchdog{30s};
};

TEST_F(DriverTest, AnAttemptConnectsTransfersAndDisconnects) {
    TransMain->TransferWithRetry();
    EXPECT_EQ(Client.Calls, (TCalls{"Connect", "Mode 1", "Download /pub/readme.txt C:\\in\\readme.txt", "Disconnect"}));

    Client.Calls.clear();
    Job = TransferJob{true, "/in/report.bin", "C:\\data\\report.bin", 5};
    TransMain->TransferWithRetry();
    EXPECT_EQ(Client.Calls, (TCalls{"Connect", "Mode 2", "Upload C:\\data\\report.bin /in/report.bin", "Disconnect"}));

    EXPECT_EQ(Renderer->Count(RetryCaption), 0u);
    EXPECT_TRUE(TransMain->Halta->Enabled());
    EXPECT_EQ(TransMain->Halta->Interval(), 200u);
    EXPECT_TRUE(Halts.empty()) << "the halt comes from the timer, later";
}

TEST_F(DriverTest, AFailedStepEndsTheAttemptWithoutDisconnect) {
    const std::string download = "Download /pub/readme.txt C:\\in\\readme.txt";
    struct Row {
        const char* Failing;
        int Times;
        TCalls Calls;
    };
    std::vector<Row> rows = {
        {"Connect", 3, {"Connect", "Connect", "Connect", "Connect", "Mode 1", download, "Disconnect"}},
        {"Mode", 1, {"Connect", "Mode 1", "Connect", "Mode 1", download, "Disconnect"}},
        {"Download", 2,
         {"Connect", "Mode 1", download, "Connect", "Mode 1", download, "Connect", "Mode 1", download, "Disconnect"}},
        // A refused goodbye does not undo the transfer: no further attempt.
        {"Disconnect", 1, {"Connect", "Mode 1", download, "Disconnect"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.Failing);
        Client.Calls.clear();
        Client.Failures = {{row.Failing, row.Times}};
        TransMain->TransferWithRetry();
        EXPECT_EQ(Client.Calls, row.Calls);
        EXPECT_EQ(Renderer->Count(RetryCaption), 0u);
    }
}

TEST_F(DriverTest, TheRetryDialogsAnswerSetsTheNextSeries) {
    auto choose = [](int choice, const char* count) -> TAnswer {
        return [choice, count](TForm& form) {
            RetryForm->SpinEdit1->SetText(count);
            RetryForm->RetryChoice = choice;
            form.ModalResult = mrOk;
        };
    };
    struct Row {
        const char* Name;
        std::vector<TAnswer> Answers;
        std::size_t Connects;
    };
    std::vector<Row> rows;
    rows.push_back({"cancel", {Click("Button2")}, 10});
    rows.push_back({"close box", {TScriptedRenderer::CloseBox()}, 10});
    rows.push_back({"once, then Esc", {Click("Button1"), TScriptedRenderer::PressEscape()}, 11});
    rows.push_back({"Enter at first, then cancel", {TScriptedRenderer::PressEnter(), Click("Button2")}, 11});
    rows.push_back({"count 3", {Count("3"), Click("Button2")}, 13});
    rows.push_back({"count 0 still attempts once", {Count("0"), Click("Button2")}, 11});
    rows.push_back({"negative count attempts once", {Count("-5"), Click("Button2")}, 11});
    rows.push_back({"count that is no integer", {Count("lots"), Click("Button2")}, 11});
    rows.push_back({"Alt+R with the count of 40",
                    {[](TForm& form) { form.KeyAccess('r'); }, TScriptedRenderer::PressEscape()}, 50});
    rows.push_back({"a choice above 4 acts as 1", {choose(7, "2"), Click("Button2")}, 12});
    rows.push_back({"a negative choice stops", {choose(-1, "2")}, 10});
    rows.push_back({"several series", {Click("Button1"), Count("2"), Click("Button1"), Click("Button2")}, 14});

    for (Row& row : rows) {
        SCOPED_TRACE(row.Name);
        delete RetryForm;
        RetryForm = new TRetryForm(nullptr);
        Client.Calls.clear();
        Client.Failures = {{"Connect", Always}};
        Renderer->Log.clear();
        std::size_t dialogs = row.Answers.size();
        Answer(std::move(row.Answers));
        TransMain->Halta->SetEnabled(false);
        TransMain->TransferWithRetry();
        EXPECT_EQ(Client.Count("Connect"), row.Connects);
        EXPECT_EQ(Client.Calls.size(), row.Connects) << "nothing but Connect after a failed Connect";
        EXPECT_EQ(Renderer->Count(RetryCaption), dialogs);
        EXPECT_EQ(Renderer->Count("unanswered Unable login to server..."), 0u);
        EXPECT_TRUE(TransMain->Halta->Enabled());
    }
}

TEST_F(DriverTest, SuccessInALaterSeriesEndsTheLoop) {
    Client.Failures = {{"Connect", 10}};
    Answer({Click("Button1")});
    TransMain->TransferWithRetry();
    EXPECT_EQ(Client.Count("Connect"), 11u);
    EXPECT_EQ(Client.Count("Disconnect"), 1u);
    EXPECT_EQ(Renderer->Count(RetryCaption), 1u);
}

TEST_F(DriverTest, RetryIndefinitelyMakes32000QuickAttempts) {
    Client.Failures = {{"Connect", Always}};
    Answer({Click("Button4"), Click("Button2")});
    auto start = std::chrono::steady_clock::now();
    TransMain->TransferWithRetry();
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(Client.Count("Connect"), 32010u);
    EXPECT_EQ(Renderer->Count(RetryCaption), 2u);
    EXPECT_LT(took, 10s);
}

TEST_F(DriverTest, TransferTypeAndLabelsFollowThePathOfTheSendingSide) {
    struct Row {
        const char* Path;
        int Mode;
        const char* Shown;  // Label4
    };
    std::vector<Row> rows = {
        {"/pub/readme.txt", 1, "/pub/readme.txt"},   // "/" separates nothing
        {"C:\\data\\report.asc", 1, "report.asc"},
        {"archive.txt.gz", 2, "archive.txt.gz"},
        {"notes.Txt", 1, "notes.Txt"},
        {"dir.txt\\file", 2, "file"},
        {"C:readme.TXT", 1, "readme.TXT"},
        {"D:\\a.b\\c.AsC", 1, "c.AsC"},
        {"/x.txt/y", 2, "/x.txt/y"},
        {"data.ascii", 2, "data.ascii"},
        {"noextension", 2, "noextension"},
        {".txt", 1, ".txt"},
        {"C:\\dir\\", 2, ""},
    };
    for (const Row& row : rows) {
        for (bool send : {false, true}) {
            SCOPED_TRACE(std::string(row.Path) + (send ? " upload" : " download"));
            Client.Calls.clear();
            Job = send ? TransferJob{true, "remote.dat", row.Path, 0} : TransferJob{false, row.Path, "local.dat", 0};
            TransMain->TransferWithRetry();
            ASSERT_GE(Client.Calls.size(), 2u);
            EXPECT_EQ(Client.Calls[1], "Mode " + std::to_string(row.Mode));
            EXPECT_EQ(TransMain->Label4->Caption(), row.Shown);
            EXPECT_EQ(TransMain->Label12->Caption(), send ? "remote.dat" : "local.dat");
        }
    }
}

TEST_F(DriverTest, TheStartTriggerFiresOnceAndTheHaltFollows200msAfterTheLoop) {
    TTempDir dir("tavix-driver");
    std::filesystem::path job = WriteInformationFile(
        dir.Path(), TInformation{"127.0.0.1", "anne", "secret", 0, "/pub/readme.txt", "C:\\in\\readme.txt", 4});
    TransMain->Arguments = {job.string()};
    std::uint64_t shown = GetTickCount64();
    TransMain->Show();
    EXPECT_TRUE(PumpUntil([this] { return !Halts.empty(); }));
    PumpFor(500ms);

    ASSERT_EQ(Client.Calls.size(), 4u) << "a second transfer was started";
    EXPECT_EQ(Halts.size(), 1u);
    EXPECT_GE(Client.Times.front() - shown, 90u);
    EXPECT_GE(Halts.front() - Client.Times.back(), 190u);
    EXPECT_LT(Halts.front() - Client.Times.back(), 3000u);
    EXPECT_EQ(TransMain->FTP->Host, "127.0.0.1");
    EXPECT_EQ(Job.Size, 4);
    EXPECT_FALSE(std::filesystem::exists(job));
    EXPECT_EQ(Renderer->Count("minimized"), 1u);
    EXPECT_FALSE(TransMain->Starta->Enabled());
}

TEST_F(DriverTest, WithoutAJobItHaltsAfterTheErrorBox) {
    std::uint64_t confirmed = 0;
    Answer({[&confirmed](TForm& box) {
        confirmed = GetTickCount64();
        TScriptedRenderer::PressEnter()(box);
    }});
    TransMain->Show();
    EXPECT_TRUE(PumpUntil([this] { return !Halts.empty(); }));
    EXPECT_TRUE(Client.Calls.empty());
    EXPECT_EQ(Renderer->Count("modal Error"), 1u);
    EXPECT_GE(Halts.front() - confirmed, 190u);
}

TEST_F(DriverTest, CancelAbortsAndHaltsWhateverTheAbortSays) {
    Client.Failures = {{"Abort", 1}};
    TransMain->Button1->Click();
    EXPECT_EQ(Client.Calls, TCalls{"Abort"});
    EXPECT_FALSE(TransMain->Button1->Enabled());
    EXPECT_TRUE(TransMain->Halta->Enabled());
    EXPECT_TRUE(PumpUntil([this] { return !Halts.empty(); }));
}

}  // namespace
