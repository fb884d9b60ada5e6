// The programming utility.
#include <windows.h>
#include <commctrl.h>

#include "../comm/nrwin32di.h"
#include "../framework/forms.h"
#include "Unit2.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
    INITCOMMONCONTROLSEX icc{sizeof(icc), ICC_STANDARD_CLASSES | ICC_WIN95_CLASSES};
    InitCommonControlsEx(&icc);

    fw::TApplication app;
    app.Initialize();
    app.SetMainFormOnTaskBar(true);
    app.SetTitle(Form2Caption());
    try {
        Form2 = fw::CreateForm<TForm2>(&app);
        Form2->Show();
    } catch (...) {
        app.HandleException(nullptr);
        return 1;
    }
    app.Run();
    nr::UnloadSetupApi();
    return 0;
}
