// The scanner's message boxes and its save dialog. The window and the
// probe server's reports both go through the installed channel; tests install
// one that records the boxes and answers them, and name the file the next
// save dialog answers with.
#pragma once

#include <QString>

#include <functional>

class QWidget;

class MessageBoxes
{
public:
    virtual ~MessageBoxes() = default;
    // Opens the box and returns at once: reply gets the answer (the values
    // of Pelorin::MsgBox, as the style) once it is given. Modeless, or modal
    // to the main window when windowModal.
    virtual void open(const QString &text, int style, const QString &title, std::function<void(int)> reply,
                      bool windowModal = false) = 0;

    static MessageBoxes &current();
    // Null restores the default (QMessageBox with the main window as parent).
    static void install(MessageBoxes *channel);
    static void setParentWindow(QWidget *window);

    // Asks for the file to save to, starting at suggested; reply gets it
    // unless the operator cancels. After setNextSavePath the next call
    // answers that path at once, without a dialog.
    static void saveFileName(const QString &title, const QString &suggested, const QString &filter,
                             std::function<void(const QString &)> reply);
    static void setNextSavePath(const QString &path);
};
