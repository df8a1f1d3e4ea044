#pragma once

#include <QString>

class QDialog;
class QVBoxLayout;
class titleWidget;

// The look the room's ways in from outside share (the control interface's and VISCA's
// dialogs): a frameless dialog in the application's colours with its own title bar, and the
// padded column the dialog's controls go into. `extraStyle` is appended to the shared sheet.
struct RemoteDialogFrame {
    titleWidget* titleBar = nullptr;
    QVBoxLayout* body = nullptr;

    static RemoteDialogFrame build(QDialog* dialog, const QString& objectName, const QString& title,
                                   const QString& extraStyle = QString());
};
