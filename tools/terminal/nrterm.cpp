// nrterm: a serial terminal, written the way any program would use the
// serial component. `nrterm --help` lists the command line.
#include <windows.h>
#include <commctrl.h>

#include <string>
#include <vector>

#include "comm/nrwin32di.h"
#include "term_form.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
    INITCOMMONCONTROLSEX icc{sizeof(icc), ICC_STANDARD_CLASSES | ICC_WIN95_CLASSES};
    InitCommonControlsEx(&icc);
    const auto parsed = nrterm::ParseCommandLine(std::vector<std::wstring>(__wargv + 1, __wargv + __argc));
    if (!parsed.Error.empty() || parsed.Options.Help) {
        const std::wstring text = parsed.Error.empty() ? nrterm::Usage() : parsed.Error + L"\n\n" + nrterm::Usage();
        MessageBoxW(nullptr, text.c_str(), nrterm::kCaption, parsed.Error.empty() ? MB_ICONINFORMATION : MB_ICONERROR);
        return parsed.Error.empty() ? 0 : 2;
    }
    fw::TApplication app;
    app.SetMainFormOnTaskBar(true);
    app.SetTitle(nrterm::kCaption);
    try {
        auto* form = fw::CreateForm<nrterm::TTermForm>(&app);
        form->Show();
        form->Start(parsed.Options);
    } catch (...) {
        app.HandleException(nullptr);
        return 1;
    }
    app.Run();
    nr::UnloadSetupApi();
    return 0;
}
