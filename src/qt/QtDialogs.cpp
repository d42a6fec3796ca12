#include "qt/QtDialogs.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

// The program has no window of its own, so each dialog asks to come to the front itself.
void bringToFront(QWidget& dialog) {
    dialog.show();
    dialog.raise();
    dialog.activateWindow();
}

} // namespace

QtDialogs::QtDialogs(QString windowTitle) : windowTitle_(std::move(windowTitle)) {}

/// A warning box with the platform's single default button, its texts shown as plain text; returns
/// once it has been dismissed.
void QtDialogs::alert(const std::string& messageText, const std::string& informativeText) {
    QMessageBox box(QMessageBox::Warning, windowTitle_, QString::fromStdString(messageText), QMessageBox::Ok);
    // Texts come from servers, files and other programs: never read them as markup.
    box.setTextFormat(Qt::PlainText);
    box.setInformativeText(QString::fromStdString(informativeText));
    if (auto* informative = box.findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel")))
        informative->setTextFormat(Qt::PlainText);
    box.setDefaultButton(QMessageBox::Ok);
    // Without a minimum the box wraps a one-sentence message into a narrow column.
    box.setStyleSheet(QStringLiteral("QLabel#qt_msgbox_informativelabel { min-width: 300px; }"));
    box.setWindowModality(Qt::ApplicationModal);
    bringToFront(box);
    box.exec();
}

/// The field's text when the user chose "OK"; nullopt on "Cancel", Escape or closing the window.
std::optional<std::string> QtDialogs::prompt(const Prompt& prompt) {
    PromptDialog dialog(windowTitle_, prompt);
    bringToFront(dialog);
    if (dialog.exec() != QDialog::Accepted) return std::nullopt;
    return dialog.field()->text().toStdString();
}

PromptDialog::PromptDialog(const QString& windowTitle, const Prompt& prompt) {
    setWindowTitle(windowTitle);
    setWindowModality(Qt::ApplicationModal);

    auto* message = new QLabel(QString::fromStdString(prompt.messageText), this);
    QFont bold = message->font();
    bold.setBold(true);
    message->setFont(bold);
    message->setTextFormat(Qt::PlainText);
    auto* informative = new QLabel(QString::fromStdString(prompt.informativeText), this);
    informative->setTextFormat(Qt::PlainText);
    informative->setWordWrap(true);

    field_ = new QLineEdit(this);
    field_->setFixedSize(260, 24);
    field_->setPlaceholderText(QString::fromStdString(prompt.placeholder));
    field_->setText(QString::fromStdString(prompt.initialText));
    if (prompt.secure) field_->setEchoMode(QLineEdit::Password);

    ok_ = new QPushButton(QStringLiteral("OK"), this);
    cancel_ = new QPushButton(QStringLiteral("Cancel"), this);
    ok_->setDefault(true);
    connect(ok_, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancel_, &QPushButton::clicked, this, &QDialog::reject);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(ok_);
    buttons->addWidget(cancel_);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(message);
    layout->addWidget(informative);
    layout->addWidget(field_);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    setFocusProxy(field_);
}

/// Typing goes into the field as soon as the dialog is up.
void PromptDialog::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    field_->setFocus(Qt::OtherFocusReason);
}
