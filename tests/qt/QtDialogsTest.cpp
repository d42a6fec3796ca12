#include "qt/QtDialogs.h"
#include "qt/QtTestSupport.h"

#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

namespace {

const QString title = QStringLiteral("Peltwick Importer");

Prompt passwordPrompt() {
    return {"App password",
            "Mint a device password on the peltwick setup page (https://peltwick.app/app) and paste it here.",
            "app password", "", true};
}

TEST(QtDialogs, PromptHasItsFieldAndOkThenCancel) {
    QtDialogs dialogs(title);
    bool inspected = false;
    whenModalOpens([&](QWidget* modal) {
        auto* dialog = qobject_cast<PromptDialog*>(modal);
        ASSERT_NE(dialog, nullptr);
        inspected = true;
        EXPECT_EQ(dialog->windowTitle(), title);
        QStringList labels;
        for (QLabel* label : dialog->findChildren<QLabel*>())
            labels << label->text();
        EXPECT_TRUE(labels.contains("App password"));
        EXPECT_TRUE(labels.contains(QString::fromStdString(passwordPrompt().informativeText)));
        QLineEdit* field = dialog->field();
        EXPECT_EQ(field->size(), QSize(260, 24));
        EXPECT_EQ(field->echoMode(), QLineEdit::Password);
        EXPECT_EQ(field->placeholderText(), "app password");
        EXPECT_EQ(dialog->focusWidget(), field); // focus goes there as soon as the window is active
        EXPECT_EQ(dialog->okButton()->text(), "OK");
        EXPECT_EQ(dialog->cancelButton()->text(), "Cancel");
        EXPECT_LT(dialog->okButton()->x(), dialog->cancelButton()->x());
        EXPECT_TRUE(dialog->okButton()->isDefault());
        EXPECT_EQ(dialog->findChildren<QPushButton*>().size(), 2);
        QTest::keyClicks(field, " S3cret pw ");
        QTest::keyClick(field, Qt::Key_Return); // Return is OK
    });
    EXPECT_EQ(dialogs.prompt(passwordPrompt()), std::optional<std::string>(" S3cret pw "));
    EXPECT_TRUE(inspected);
}

TEST(QtDialogs, PromptReturnsTextOnlyOnOk) {
    QtDialogs dialogs(title);
    const Prompt server{"Server URL", "The peltwick server address.", "https://peltwick.app", "https://old.example",
                        false};

    whenModalOpens([](QWidget* modal) {
        auto* dialog = qobject_cast<PromptDialog*>(modal);
        ASSERT_NE(dialog, nullptr);
        EXPECT_EQ(dialog->field()->echoMode(), QLineEdit::Normal);
        EXPECT_EQ(dialog->field()->text(), "https://old.example");
        QTest::mouseClick(dialog->okButton(), Qt::LeftButton);
    });
    EXPECT_EQ(dialogs.prompt(server), std::optional<std::string>("https://old.example"));

    whenModalOpens([](QWidget* modal) {
        auto* dialog = qobject_cast<PromptDialog*>(modal);
        ASSERT_NE(dialog, nullptr);
        QTest::keyClicks(dialog->field(), "/typed");
        QTest::mouseClick(dialog->cancelButton(), Qt::LeftButton);
    });
    EXPECT_EQ(dialogs.prompt(server), std::nullopt);

    whenModalOpens([](QWidget* modal) { QTest::keyClick(modal, Qt::Key_Escape); });
    EXPECT_EQ(dialogs.prompt(server), std::nullopt);

    whenModalOpens([](QWidget* modal) { modal->close(); });
    EXPECT_EQ(dialogs.prompt(server), std::nullopt);
}

TEST(QtDialogs, AlertIsAWarningWithOneDefaultButton) {
    QtDialogs dialogs(title);
    bool inspected = false;
    whenModalOpens([&](QWidget* modal) {
        auto* box = qobject_cast<QMessageBox*>(modal);
        ASSERT_NE(box, nullptr);
        inspected = true;
        EXPECT_EQ(box->icon(), QMessageBox::Warning);
        EXPECT_EQ(box->windowTitle(), title);
        EXPECT_EQ(box->text(), title);
        EXPECT_EQ(box->informativeText(), "Could not read the contact file <b>x</b>.vcf");
        // Markup in a text (a file name, a server's answer) is shown as it is written.
        for (auto* label : box->findChildren<QLabel*>())
            EXPECT_TRUE(label->text().isEmpty() || label->textFormat() == Qt::PlainText) << label->text().toStdString();
        ASSERT_EQ(box->buttons().size(), 1);
        EXPECT_EQ(box->defaultButton(), box->buttons().first());
        QTest::keyClick(box, Qt::Key_Return);
    });
    dialogs.alert("Peltwick Importer", "Could not read the contact file <b>x</b>.vcf");
    EXPECT_TRUE(inspected);
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
}

} // namespace
