// The program's main block: one job per process, exit code 0 on every path.
#include <cstdio>
#include <cstdlib>

#include "RetryFormF.h"
#include "TransMainF.h"

namespace {

// Ends the process at once, wherever the attempt loop is. The FTP client's
// clean-up still runs: its destruction sends QUIT on an open connection.
[[noreturn]] void EndProcess() {
    static bool ending = false;
    if (!ending && TransMain && TransMain->FTP) {
        ending = true;
        TFtpClient* client = TransMain->FTP;
        TransMain->FTP = nullptr;
        delete client;
    }
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(0);
}

}  // namespace

int main(int argc, char** argv) {
    try {
        Application->Initialize();
        Application->SetTitle("Background FTP transfer");
        TransMain = new TTransMain(Application);
        Application->MainForm = TransMain;
        for (int i = 1; i < argc; ++i) TransMain->Arguments.emplace_back(argv[i]);
        TransMain->OnHalt = EndProcess;
        Application->OnInterrupt = [] { TransMain->Button1Click(TransMain->Button1); };
        RetryForm = new TRetryForm(Application);
        Application->Run();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "tavix-ftp: %s\n", error.what());
    }
    EndProcess();
}
