#pragma once

#include "core/Desktop.h"

#include <QDialog>
#include <QString>

class QLineEdit;
class QPushButton;

// The alert and the one-field prompt, both modal and brought to the front.
class QtDialogs : public Dialogs {
public:
    explicit QtDialogs(QString windowTitle);

    void alert(const std::string& messageText, const std::string& informativeText) override;
    std::optional<std::string> prompt(const Prompt& prompt) override;

private:
    QString windowTitle_;
};

// A message in bold, an informative text, one line edit of 260 × 24 and the buttons "OK" then
// "Cancel" in that order on every desktop (QInputDialog lets the style swap them).
class PromptDialog : public QDialog {
    Q_OBJECT
public:
    PromptDialog(const QString& windowTitle, const Prompt& prompt);

    QLineEdit* field() const { return field_; }
    QPushButton* okButton() const { return ok_; }
    QPushButton* cancelButton() const { return cancel_; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    QLineEdit* field_;
    QPushButton* ok_;
    QPushButton* cancel_;
};
