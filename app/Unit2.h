// The programming window: pick a make and a port, press START, read the log.
#pragma once

#include <cstdint>
#include <string>

#include "../comm/nrcomm.h"
#include "../comm/nrcommbox.h"
#include "../framework/controls.h"

class TForm2 : public fw::TForm {
public:
    explicit TForm2(fw::TComponent* AOwner);

    // Members, in their declared order.
    fw::TImageList* ImageList1;
    fw::TImage* Image1;
    fw::TListBox* ListBox1;
    fw::TButton* Button1;
    fw::TShape* Shape1;
    fw::TButton* Button2;
    fw::TMemo* Log;
    nr::TnrComm* nrComm1;
    fw::TButton* Button3;
    nr::TnrDeviceBox* nrDeviceBox1;
    fw::TTimer* Timer1;

    void FormCreate(fw::TObject* Sender);
    void ListBox1Click(fw::TObject* Sender);
    void Button1Click(fw::TObject* Sender);
    void send_truck();
    // Sends the start frame; nothing in the window invokes it.
    void send_confirm();
    void nrComm1AfterReceive(fw::TObject* Com, void* Buffer, std::uint32_t Received);
    void Timer1Timer(fw::TObject* Sender);
    void nrComm1CommError(fw::TObject* Com, std::uint32_t CommCode, std::uint32_t SysError, nr::TComStateFlags State,
                          bool& flFlashBuffers);
    void nrComm1FatalError(fw::TObject* Sender, std::uint32_t ErrorCode, std::uint32_t Detail,
                           const std::wstring& ErrorMsg, bool& RaiseException);
    void add_log(const std::wstring& l);
    // Several lines in one edit of the log.
    void add_log(std::initializer_list<std::wstring> l);
    void Button2Click(fw::TObject* Sender);
    void Button3Click(fw::TObject* Sender);

private:
    // Back to idle after any end of a wait.
    void EndWait();
};

extern TForm2* Form2;

// The window's caption: " KORVANTE v5 - " and sixteen U+00FF characters.
std::wstring Form2Caption();
// Bitmap resource names of the make logos, in make-list order.
extern const wchar_t* const LogoResources[7];
