// Opens a COM port at 9600 8N1 and prints what arrives, until 5 bytes came
// or 10 seconds passed:   receive PORT-NUMBER   (the README's example)
#include <comm/nrcomm.h>
#include <cstdio>
#include <cstdlib>
#include <framework/forms.h>

int main(int argc, char** argv) {
    fw::TApplication app;  // delivers the port's events to this thread
    nr::TnrComm com(nullptr);
    com.SetComPortNo(static_cast<std::uint16_t>(argc > 1 ? std::atoi(argv[1]) : 1));
    com.SetBaudRate(9600);
    com.SetStreamProtocol(nr::spNone);
    com.OnAfterReceive = [](fw::TObject*, void* data, std::uint32_t n) {
        std::fwrite(data, 1, n, stdout);
        std::fflush(stdout);
    };
    try {
        com.SetActive(true);
    } catch (const fw::Exception& e) {  // the port cannot be opened
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    app.ProcessMessagesUntil([&] { return com.TotalReceived() >= 5; }, 10000);
    return com.TotalReceived() >= 5 ? 0 : 2;
}
