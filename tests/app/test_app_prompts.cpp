// The Qt prompts themselves: each dialog is driven from a timer once it is the active modal widget.

#include "CertificateDialogs.h"
#include "CertificateTexts.h"
#include "CryptoStartup.h"
#include "Dispatch.h"
#include "ErrorDialog.h"
#include "FileFilter.h"
#include "GuiTest.h"
#include "QtPrompts.h"
#include "ScriptedPrompts.h"
#include "Startup.h"
#include "TestSupport.h"
#include "platform/Errors.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDeadlineTimer>
#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QTabWidget>
#include <QTableWidget>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>
#include <QUrl>

#include <functional>

using plombar::app::QtPrompts;

namespace {

// Runs `act` on the dialog of type T as soon as it is the active modal widget (polling, so that
// it also works for a dialog opened from within another one). `seen` tells whether it ran.
template <class T> void whenModal(std::function<void(T*)> act, bool* seen = nullptr) {
    auto* timer = new QTimer;
    const QDeadlineTimer deadline(10000);
    QObject::connect(timer, &QTimer::timeout, [timer, deadline, act, seen] {
        if (auto* w = qobject_cast<T*>(QApplication::activeModalWidget())) {
            timer->stop();
            timer->deleteLater();
            if (seen != nullptr)
                *seen = true;
            act(w);
            // A failed check returns from `act` early: end the dialog so the test goes on.
            if (QApplication::activeModalWidget() == w)
                w->close();
        } else if (deadline.hasExpired()) {
            timer->stop();
            timer->deleteLater();
            if (auto* other = QApplication::activeModalWidget())
                other->close(); // a different dialog came: end it so the test fails instead of hanging
        }
    });
    timer->start(10);
}

QString cursorState() {
    const QCursor* c = QApplication::overrideCursor();
    if (c == nullptr)
        return QStringLiteral("normal");
    return c->shape() == Qt::WaitCursor ? QStringLiteral("wait") : QStringLiteral("other");
}

plombar::crypto::CertificateDescription certificate(const std::string& name, bool key) {
    plombar::crypto::CertificateDescription c;
    c.issuedTo = name;
    c.issuedBy = "Тестовый УЦ";
    c.validFrom = "01.01.2024 00:00:00";
    c.validTo = "31.12.2026 23:59:59";
    c.keyAlgorithm = "ГОСТ Р 34.10-2012 256 бит";
    c.hasPrivateKey = key;
    c.version = "V3";
    c.serialNumber = "0a1b";
    c.signatureAlgorithm = "ГОСТ Р 34.11-2012/34.10-2012 256 бит (1.2.643.7.1.1.3.2)";
    c.issuer = "CN = Тестовый УЦ";
    c.subject = "CN = " + name;
    c.publicKeyAlgorithm = "ГОСТ Р 34.10-2012 256 бит (1.2.643.7.1.1.1.1)";
    c.publicKeyParameters = "1.2.643.7.1.2.1.1.1";
    c.thumbprint = "00112233445566778899aabbccddeeff00112233";
    c.extensions = {{"Основные ограничения", "Тип субъекта = Конечный субъект"}};
    return c;
}

} // namespace

// Receives the URLs that QDesktopServices would hand to the desktop.
class UrlCatcher : public QObject {
    Q_OBJECT

public:
    QList<QUrl> urls;

public slots:
    void open(const QUrl& url) { urls << url; }
};

class TestQtPrompts : public QObject {
    Q_OBJECT

    QWidget window;
    QtPrompts prompts{"plombar"};

private slots:
    void initTestCase() {
        window.setWindowTitle(QStringLiteral("Пломбарь"));
        window.setGeometry(192, 124, 625, 343);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        prompts.setParentWidget(&window);
    }

    void nameFilters_data() {
        QTest::addColumn<QString>("filter");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("none") << QString() << QStringList();
        QTest::newRow("signature") << "Signature|*.sig|PKCS7|*.p7s"
                                   << QStringList{"Signature (*.sig)", "PKCS7 (*.p7s)"};
        QTest::newRow("encrypted") << "Зашифрованные файлы|*.enc"
                                   << QStringList{"Зашифрованные файлы (*.enc)"};
        QTest::newRow("certificate") << "Certificate|*.cer" << QStringList{"Certificate (*.cer)"};
        QTest::newRow("certificate file dialog")
            << "Certificate|*.cer|Сертификаты|*.cer;*.crt;*.pem"
            << QStringList{"Certificate (*.cer)", "Сертификаты (*.cer *.crt *.pem)"};
        QTest::newRow("signature file dialog")
            << "Signature|*.sig|PKCS7|*.p7s|Подписи|*.sig;*.p7s"
            << QStringList{"Signature (*.sig)", "PKCS7 (*.p7s)", "Подписи (*.sig *.p7s)"};
        QTest::newRow("several patterns")
            << "Документы|*.doc;*.docx; *.odt" << QStringList{"Документы (*.doc *.docx *.odt)"};
        QTest::newRow("every file") << "Все файлы|*.*" << QStringList{"Все файлы (*)"};
        QTest::newRow("description without pattern") << "A|*.a|B" << QStringList{"A (*.a)"};
        QTest::newRow("empty pattern") << "A||B|*.b" << QStringList{"B (*.b)"};
    }

    void nameFilters() {
        QFETCH(QString, filter);
        QFETCH(QStringList, expected);
        QCOMPARE(plombar::app::qtNameFilters(filter.toStdString()), expected);
    }

    void messageBoxIsPlainAndCentredOnTheScreen() {
        bool seen = false;
        QString during;
        whenModal<QMessageBox>(
            [&](QMessageBox* box) {
                QCOMPARE(box->icon(), QMessageBox::NoIcon);
                QCOMPARE(box->windowTitle(), QStringLiteral("plombar"));
                QCOMPARE(box->text(), QStringLiteral("Подписанное <b>сообщение</b> создано"));
                QCOMPARE(box->textFormat(), Qt::PlainText);
                QCOMPARE(box->buttons().size(), 1);
                QCOMPARE(box->buttons().first()->text(), QStringLiteral("OK"));
                QVERIFY(box->isModal());
                const QPoint centre = box->screen()->availableGeometry().center();
                QVERIFY2((box->frameGeometry().center() - centre).manhattanLength() <= 2,
                         qPrintable(QStringLiteral("box centre %1,%2")
                                        .arg(box->frameGeometry().center().x())
                                        .arg(box->frameGeometry().center().y())));
                during = cursorState();
                box->buttons().first()->click();
            },
            &seen);
        {
            plombar::app::BusyCursor busy;
            prompts.showMessage("Подписанное <b>сообщение</b> создано");
            QCOMPARE(cursorState(), QStringLiteral("wait"));
        }
        QVERIFY(seen);
        QCOMPARE(during, QStringLiteral("normal"));
    }

    // The guard's report reaches a real box: stop icon, the full stop added.
    void errorReportHasTheStopIcon() {
        bool seen = false;
        whenModal<QMessageBox>(
            [&](QMessageBox* box) {
                QCOMPARE(box->icon(), QMessageBox::Critical);
                QCOMPARE(box->windowTitle(), QStringLiteral("plombar"));
                QCOMPARE(box->text(), QStringLiteral("File not found."));
                QCOMPARE(box->buttons().size(), 1);
                QCOMPARE(cursorState(), QStringLiteral("normal"));
                box->buttons().first()->click();
            },
            &seen);
        plombar::app::runGuarded(prompts, [] { throw plombar::InputOutputError(2); });
        QVERIFY(seen);
        QCOMPARE(QApplication::overrideCursor(), nullptr);
    }

    // A missing GOST module: one sentence saying what to install, OpenSSL's errors one a line.
    void gostModuleProblem_data() {
        QTest::addColumn<bool>("found");
        QTest::addColumn<QString>("errors");
        QTest::addColumn<QString>("sentence");
        QTest::addColumn<QString>("details");
        const QString missing = QStringLiteral(
            "Не найден модуль ГОСТ для OpenSSL, поэтому подпись, проверка, шифрование и расшифровка "
            "недоступны: установите пакет libengine-gost-openssl (sudo apt install libengine-gost-openssl).");
        const QString broken = QStringLiteral(
            "Модуль ГОСТ для OpenSSL не удалось загрузить, поэтому подпись, проверка, шифрование и "
            "расшифровка недоступны: переустановите пакет libengine-gost-openssl "
            "(sudo apt install --reinstall libengine-gost-openssl).");
        QTest::newRow("not found, two errors")
            << false
            << "error:12800067:DSO support routines::could not load the shared library; "
               "error:13000084:engine routines::no such engine (id=gost)"
            << missing
            << "error:12800067:DSO support routines::could not load the shared "
               "library\nerror:13000084:engine routines::no such engine (id=gost)";
        QTest::newRow("not found, no errors") << false << "" << missing << "";
        QTest::newRow("found but not loaded")
            << true << "error:1:init failed" << broken << "error:1:init failed";
    }

    void gostModuleProblem() {
        QFETCH(bool, found);
        QFETCH(QString, errors);
        QFETCH(QString, sentence);
        QFETCH(QString, details);
        const auto problem = plombar::app::describeGostModuleProblem({false, found, errors.toStdString()});
        QCOMPARE(QString::fromStdString(problem.sentence), sentence);
        QCOMPARE(QString::fromStdString(problem.details), details);
        QVERIFY(plombar::app::describeGostModuleProblem({true, true, ""}).sentence.empty());
    }

    // The details show only when "Подробности" is unfolded; without details there is no expander.
    void detailedErrorFoldsTheDetails_data() {
        QTest::addColumn<QString>("details");
        QTest::newRow("with details") << "error:1:first\nerror:2:second";
        QTest::newRow("without details") << "";
    }

    void detailedErrorFoldsTheDetails() {
        QFETCH(QString, details);
        bool seen = false;
        whenModal<plombar::app::DetailedErrorDialog>(
            [&](plombar::app::DetailedErrorDialog* dialog) {
                QCOMPARE(dialog->windowTitle(), QStringLiteral("plombar"));
                QCOMPARE(dialog->findChild<QLabel*>(QStringLiteral("message"))->text(),
                         QStringLiteral("Модуль <b>не</b> найден."));
                QCOMPARE(dialog->findChild<QLabel*>(QStringLiteral("message"))->textFormat(), Qt::PlainText);
                QCOMPARE(dialog->okButton()->text(), QStringLiteral("OK"));
                QCOMPARE(cursorState(), QStringLiteral("normal"));
                QVERIFY(!dialog->detailsView()->isVisible());
                QCOMPARE(dialog->detailsButton()->isVisible(), !details.isEmpty());
                if (!details.isEmpty()) {
                    QCOMPARE(dialog->detailsButton()->text(), QStringLiteral("Подробности"));
                    QTest::mouseClick(dialog->detailsButton(), Qt::LeftButton);
                    QVERIFY(dialog->detailsView()->isVisible());
                    QCOMPARE(dialog->detailsView()->toPlainText(), details);
                    QVERIFY(dialog->detailsView()->isReadOnly());
                    QTest::mouseClick(dialog->detailsButton(), Qt::LeftButton);
                    QVERIFY(!dialog->detailsView()->isVisible());
                }
                dialog->okButton()->click();
            },
            &seen);
        plombar::app::BusyCursor busy;
        prompts.showDetailedError("Модуль <b>не</b> найден.", details.toStdString());
        QVERIFY(seen);
    }

    // "Да" / "Нет", "Нет" the default: Enter on an unexpected question removes nothing.
    void confirmAsksYesOrNo_data() {
        QTest::addColumn<bool>("yes");
        QTest::newRow("Да") << true;
        QTest::newRow("Нет") << false;
    }

    void confirmAsksYesOrNo() {
        QFETCH(bool, yes);
        bool seen = false;
        whenModal<QMessageBox>(
            [&](QMessageBox* box) {
                QCOMPARE(box->icon(), QMessageBox::Question);
                QCOMPARE(box->text(), QStringLiteral("Удалить <b>сертификат</b>?"));
                QCOMPARE(box->textFormat(), Qt::PlainText);
                QCOMPARE(box->button(QMessageBox::Yes)->text(), QStringLiteral("Да"));
                QCOMPARE(box->button(QMessageBox::No)->text(), QStringLiteral("Нет"));
                QCOMPARE(box->defaultButton(), box->button(QMessageBox::No));
                box->button(yes ? QMessageBox::Yes : QMessageBox::No)->click();
            },
            &seen);
        QCOMPARE(prompts.confirm("Удалить <b>сертификат</b>?"), yes);
        QVERIFY(seen);
    }

    void saveDialogSavesAndCancels() {
        plombar::test::TempDir dir("plombar-save");
        bool seen = false;
        whenModal<QFileDialog>(
            [&](QFileDialog* d) {
                QCOMPARE(d->objectName(), QStringLiteral("certificateExportDialog"));
                QCOMPARE(d->acceptMode(), QFileDialog::AcceptSave);
                QCOMPARE(d->nameFilters(), QStringList({"DER (*.cer)", "PEM (*.pem)"}));
                d->selectFile(QString::fromStdString(dir.file("сертификат.pem")));
                static_cast<QDialog*>(d)->accept();
            },
            &seen);
        QCOMPARE(prompts.saveFile("certificateExportDialog", "DER|*.cer|PEM|*.pem", ""),
                 std::optional<std::string>(dir.file("сертификат.pem")));
        QVERIFY(seen);
        whenModal<QFileDialog>([](QFileDialog* d) { d->reject(); });
        QVERIFY(!prompts.saveFile("certificateExportDialog", "", "").has_value());
    }

    void fileDialog_data() {
        QTest::addColumn<QString>("filter");
        QTest::addColumn<QStringList>("nameFilters");
        QTest::newRow("no filter") << QString() << QStringList{QFileDialog::tr("All Files (*)")};
        QTest::newRow("signature") << "Signature|*.sig|PKCS7|*.p7s"
                                   << QStringList{"Signature (*.sig)", "PKCS7 (*.p7s)"};
    }

    // Opens in the folder of the last file with that file named, takes a typed name of a file that
    // does not exist, and gives nothing on cancel.
    void fileDialog() {
        QFETCH(QString, filter);
        QFETCH(QStringList, nameFilters);
        plombar::test::TempDir dir("plombar-dialog");
        const std::string last = dir.file("прошлый.sig");
        plombar::test::writeFile(last, "x");
        const QString typed = QStringLiteral("новый файл.sig");

        bool seen = false;
        whenModal<QFileDialog>(
            [&](QFileDialog* d) {
                QCOMPARE(d->nameFilters(), nameFilters);
                QCOMPARE(d->selectedNameFilter(), nameFilters.first());
                QCOMPARE(d->fileMode(), QFileDialog::AnyFile);
                QCOMPARE(d->acceptMode(), QFileDialog::AcceptOpen);
                QCOMPARE(d->directory().absolutePath(), QString::fromStdString(dir.path()));
                QCOMPARE(d->selectedFiles(), QStringList{QString::fromStdString(last)});
                QCOMPARE(cursorState(), QStringLiteral("normal"));
                auto* name = d->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
                QVERIFY(name != nullptr);
                // Typed by the user: in the focused line, which drops the earlier file's selection.
                QApplication::setActiveWindow(d);
                name->setFocus();
                QVERIFY(name->hasFocus());
                name->setText(typed);
                // The dialog's own accept, with its checks of the typed name.
                QMetaObject::invokeMethod(d, "accept");
            },
            &seen);
        std::optional<std::string> chosen;
        {
            plombar::app::BusyCursor busy;
            chosen = prompts.openFile("signatureFileDialog", filter.toStdString(), last);
        }
        QVERIFY(seen);
        QVERIFY(chosen.has_value());
        QCOMPARE(QString::fromStdString(*chosen), QString::fromStdString(dir.file("")) + typed);

        whenModal<QFileDialog>([](QFileDialog* d) { d->reject(); });
        QVERIFY(!prompts.openFile("signatureFileDialog", filter.toStdString(), "").has_value());
    }

    // OK and view stay disabled until a row is selected: a current row alone (which the list takes
    // when it gets the focus) is not a choice. The view button opens the view dialog on top.
    void certificateSelection() {
        // Neither will do (one expired, one without a key), so nothing is selected at start.
        std::vector certs = {certificate("Иванов", true), certificate("Петрова", false)};
        certs[0].expired = true;
        bool seen = false;
        bool viewSeen = false;
        QString viewed;
        whenModal<plombar::app::CertificateSelectionDialog>(
            [&](plombar::app::CertificateSelectionDialog* d) {
                QCOMPARE(d->windowTitle(), QStringLiteral("Укажите сертификат"));
                QVERIFY(d->findChild<QLabel*>() != nullptr);
                QCOMPARE(d->findChild<QLabel*>()->text(), QStringLiteral("Для подписи"));
                QCOMPARE(d->list()->topLevelItemCount(), 2);
                const QTreeWidgetItem* header = d->list()->headerItem();
                QStringList headers;
                for (int c = 0; c < header->columnCount(); ++c)
                    headers << header->text(c);
                QCOMPARE(headers,
                         QStringList({"Кому выдан", "Организация", "Понятное имя", "Кем выдан",
                                      "Действителен по", "Алгоритм ключа", "Закрытый ключ", "Состояние"}));
                QStringList row;
                for (int c = 0; c < header->columnCount(); ++c)
                    row << d->list()->topLevelItem(1)->text(c);
                QCOMPARE(row, QStringList({"Петрова", "", "", "Тестовый УЦ", "31.12.2026",
                                           "ГОСТ Р 34.10-2012 256 бит", "Нет", "Нет закрытого ключа"}));

                QVERIFY(!d->okButton()->isEnabled());
                d->list()->setFocus();
                d->list()->setCurrentItem(d->list()->topLevelItem(0), 0, QItemSelectionModel::NoUpdate);
                QVERIFY(d->list()->currentItem() != nullptr);
                QVERIFY(!d->okButton()->isEnabled());
                QVERIFY(!d->viewButton()->isEnabled());

                d->list()->topLevelItem(1)->setSelected(true);
                QVERIFY(d->okButton()->isEnabled());
                QVERIFY(d->viewButton()->isEnabled());
                whenModal<plombar::app::CertificateViewDialog>(
                    [&](plombar::app::CertificateViewDialog* v) {
                        viewed = v->details()->item(6, 1)->text();
                        v->accept();
                    },
                    &viewSeen);
                d->viewButton()->click();
                QVERIFY(d->isVisible());
                d->okButton()->click();
            },
            &seen);
        const auto chosen = prompts.selectCertificate("Укажите сертификат", "Для подписи", certs);
        QVERIFY(seen);
        QVERIFY(viewSeen);
        QCOMPARE(viewed, QStringLiteral("CN = Петрова"));
        QCOMPARE(chosen, std::optional<std::size_t>(1));

        whenModal<plombar::app::CertificateSelectionDialog>([](plombar::app::CertificateSelectionDialog* d) {
            d->list()->topLevelItem(0)->setSelected(true);
            d->reject();
        });
        QVERIFY(!prompts.selectCertificate("", "", certs).has_value());
    }

    // Rows that will not do for signing are greyed with the reason; the first other row is selected.
    void selectionMarksUnusableRows_data() {
        QTest::addColumn<QStringList>("states"); // per row: "ok", "expired", "future" or "nokey"
        QTest::addColumn<int>("selected");       // -1: none
        QTest::newRow("all usable") << QStringList{"ok", "ok"} << 0;
        QTest::newRow("expired first") << QStringList{"expired", "ok", "ok"} << 1;
        QTest::newRow("not yet valid, no key, usable") << QStringList{"future", "nokey", "ok"} << 2;
        QTest::newRow("none usable") << QStringList{"nokey", "expired"} << -1;
    }

    void selectionMarksUnusableRows() {
        QFETCH(QStringList, states);
        QFETCH(int, selected);
        std::vector<plombar::crypto::CertificateDescription> certs;
        for (const QString& state : states) {
            auto c = certificate("Иванов", state != QLatin1String("nokey"));
            c.expired = state == QLatin1String("expired");
            c.notYetValid = state == QLatin1String("future");
            c.thumbprint = std::string(40, static_cast<char>('a' + certs.size()));
            certs.push_back(c);
        }
        plombar::app::CertificateSelectionDialog dialog("", "", certs, {});
        for (int r = 0; r < static_cast<int>(states.size()); ++r) {
            const QTreeWidgetItem* item = dialog.list()->topLevelItem(r);
            const QString state = states[r];
            const QString reason = state == QLatin1String("expired") ? "Срок действия истёк"
                                   : state == QLatin1String("future") ? "Срок действия ещё не наступил"
                                   : state == QLatin1String("nokey") ? "Нет закрытого ключа"
                                                                     : "";
            QCOMPARE(item->text(7), reason.isEmpty() ? QStringLiteral("Действителен") : reason);
            const QString tip = item->toolTip(0);
            QVERIFY2(tip.contains(QStringLiteral("Отпечаток: ") + QString(40, QChar(u'a' + r))),
                     qPrintable(tip));
            QVERIFY(tip.contains(QStringLiteral("CN = Иванов")));
            QCOMPARE(tip.contains(reason), true);
            const bool grey = item->foreground(0).color() ==
                              dialog.palette().brush(QPalette::Disabled, QPalette::Text).color();
            QCOMPARE(grey, !reason.isEmpty());
        }
        QCOMPARE(dialog.selectedIndex(),
                 selected < 0 ? std::nullopt
                              : std::optional<std::size_t>(static_cast<std::size_t>(selected)));
        QCOMPARE(dialog.okButton()->isEnabled(), selected >= 0);
        // A greyed row can still be chosen (a recipient needs no key of ours).
        dialog.list()->setCurrentItem(dialog.list()->topLevelItem(static_cast<int>(states.size()) - 1));
        QVERIFY(dialog.okButton()->isEnabled());
    }

    // Clicking a header sorts the rows (dates as dates); the choice still names the certificate given.
    void selectionSortsByAnyColumn() {
        auto a = certificate("Борисов", true);
        a.validTo = "01.02.2027 00:00:00";
        auto b = certificate("Андреев", true);
        b.validTo = "31.12.2025 00:00:00";
        auto c = certificate("Владимиров", true);
        c.validTo = "15.06.2026 00:00:00";
        plombar::app::CertificateSelectionDialog dialog("", "", {a, b, c}, {});
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        const auto column = [&](int col) {
            QStringList texts;
            for (int r = 0; r < dialog.list()->topLevelItemCount(); ++r)
                texts << dialog.list()->topLevelItem(r)->text(col);
            return texts;
        };
        QCOMPARE(column(0), QStringList({"Борисов", "Андреев", "Владимиров"})); // the store's order
        QVERIFY(dialog.list()->isSortingEnabled());
        dialog.list()->sortByColumn(4, Qt::AscendingOrder);
        QCOMPARE(column(0), QStringList({"Андреев", "Владимиров", "Борисов"}));
        dialog.list()->sortByColumn(0, Qt::DescendingOrder);
        QCOMPARE(column(0), QStringList({"Владимиров", "Борисов", "Андреев"}));
        dialog.list()->setCurrentItem(dialog.list()->topLevelItem(0));
        QCOMPARE(dialog.selectedIndex(), std::optional<std::size_t>(2));
    }

    void selectionOfAnEmptyStoreSaysHowToAddOne() {
        plombar::app::CertificateSelectionDialog dialog("", "", {}, {});
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        QVERIFY(!dialog.list()->isVisible());
        QVERIFY(dialog.emptyStoreNote()->isVisible());
        QCOMPARE(
            dialog.emptyStoreNote()->text(),
            QStringLiteral("В хранилище нет сертификатов. Добавьте свой сертификат на странице «Сертификаты» "
                           "(файл PKCS #12 или сертификат с файлом ключа) или командой «plombar-cli store "
                           "import ФАЙЛ»."));
        QVERIFY(!dialog.okButton()->isEnabled());
        QVERIFY(!dialog.viewButton()->isEnabled());
        plombar::app::CertificateSelectionDialog filled("", "", {certificate("Иванов", true)}, {});
        QVERIFY(!filled.emptyStoreNote()->isVisibleTo(&filled));
    }

    // Extension names and key usages in Russian, with their OIDs; unknown ones as given.
    void extensionTexts_data() {
        QTest::addColumn<QString>("oid");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("shownName");
        QTest::addColumn<QString>("shownValue");
        QTest::newRow("key usage, critical") << "2.5.29.15"
                                             << "X509v3 Key Usage (2.5.29.15), критическое"
                                             << "Digital Signature, Non Repudiation, Key Encipherment"
                                             << "Использование ключа (2.5.29.15), критическое"
                                             << "Цифровая подпись, Неотрекаемость, Шифрование ключей";
        QTest::newRow("extended key usage")
            << "2.5.29.37"
            << "X509v3 Extended Key Usage (2.5.29.37)"
            << "TLS Web Client Authentication, E-mail Protection, 1.2.643.2.2.34.6"
            << "Улучшенный ключ (2.5.29.37)"
            << "Проверка подлинности клиента (1.3.6.1.5.5.7.3.2), Защищённая электронная почта "
               "(1.3.6.1.5.5.7.3.4), 1.2.643.2.2.34.6";
        QTest::newRow("basic constraints") << "2.5.29.19"
                                           << "X509v3 Basic Constraints (2.5.29.19)"
                                           << "CA:FALSE"
                                           << "Основные ограничения (2.5.29.19)"
                                           << "CA:FALSE";
        QTest::newRow("GOST owner's tool") << "1.2.643.100.111"
                                           << "1.2.643.100.111"
                                           << "КриптоПро CSP"
                                           << "Средство электронной подписи владельца (1.2.643.100.111)"
                                           << "КриптоПро CSP";
        QTest::newRow("unknown") << "1.2.3.4"
                                 << "1.2.3.4"
                                 << "Digital Signature"
                                 << "1.2.3.4"
                                 << "Digital Signature";
    }

    void extensionTexts() {
        QFETCH(QString, oid);
        QFETCH(QString, name);
        QFETCH(QString, value);
        QFETCH(QString, shownName);
        QFETCH(QString, shownValue);
        QCOMPARE(plombar::app::extensionName(oid.toStdString(), name.toStdString()), shownName);
        QCOMPARE(plombar::app::extensionValue(oid.toStdString(), value.toStdString()), shownValue);
    }

    void certificateView_data() {
        QTest::addColumn<bool>("key");
        QTest::addColumn<QString>("note");
        QTest::newRow("with key") << true << "Есть закрытый ключ для этого сертификата.";
        QTest::newRow("without key") << false << "Закрытого ключа для этого сертификата нет.";
    }

    void certificateView() {
        QFETCH(bool, key);
        QFETCH(QString, note);
        bool seen = false;
        whenModal<plombar::app::CertificateViewDialog>(
            [&](plombar::app::CertificateViewDialog* d) {
                QCOMPARE(d->windowTitle(), QStringLiteral("Сертификат"));
                auto* tabs = d->findChild<QTabWidget*>(QStringLiteral("tabs"));
                QCOMPARE(tabs->tabText(0), QStringLiteral("Общие"));
                QCOMPARE(tabs->tabText(1), QStringLiteral("Состав"));
                QCOMPARE(d->findChild<QLabel*>(QStringLiteral("privateKeyNote"))->text(), note);
                QStringList texts;
                for (const QLabel* l : tabs->widget(0)->findChildren<QLabel*>())
                    texts << l->text();
                QVERIFY(texts.contains(QStringLiteral("Иванов")));
                QVERIFY(texts.contains(QStringLiteral("Тестовый УЦ")));
                QVERIFY(texts.contains(QStringLiteral("с 01.01.2024 00:00:00 по 31.12.2026 23:59:59")));
                QStringList rows;
                for (int r = 0; r < d->details()->rowCount(); ++r)
                    rows << d->details()->item(r, 0)->text() + QStringLiteral(": ") +
                                d->details()->item(r, 1)->text();
                QCOMPARE(
                    rows,
                    QStringList({"Версия: V3", "Серийный номер: 0a1b",
                                 "Алгоритм подписи: ГОСТ Р 34.11-2012/34.10-2012 256 бит (1.2.643.7.1.1.3.2)",
                                 "Издатель: CN = Тестовый УЦ", "Действителен с: 01.01.2024 00:00:00",
                                 "Действителен по: 31.12.2026 23:59:59", "Субъект: CN = Иванов",
                                 "Открытый ключ: ГОСТ Р 34.10-2012 256 бит (1.2.643.7.1.1.1.1)",
                                 "Параметры открытого ключа: 1.2.643.7.1.2.1.1.1",
                                 "Отпечаток: 00112233445566778899aabbccddeeff00112233",
                                 "Основные ограничения: Тип субъекта = Конечный субъект"}));
                d->accept();
            },
            &seen);
        prompts.viewCertificate(certificate("Иванов", key));
        QVERIFY(seen);
    }

    void password_data() {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<bool>("confirm");
        QTest::newRow("typed") << "пароль 123" << true;
        QTest::newRow("empty") << "" << true;
        QTest::newRow("cancelled") << "пароль" << false;
    }

    void password() {
        QFETCH(QString, typed);
        QFETCH(bool, confirm);
        bool seen = false;
        whenModal<plombar::app::PasswordDialog>(
            [&](plombar::app::PasswordDialog* d) {
                QCOMPARE(d->windowTitle(), QStringLiteral("Пароль"));
                QCOMPARE(d->passwordEdit()->echoMode(), QLineEdit::Password);
                QStringList texts;
                for (const QLabel* l : d->findChildren<QLabel*>())
                    texts << l->text();
                QVERIFY(texts.contains(QStringLiteral("Иванов Иван Иванович")));
                d->passwordEdit()->setText(typed);
                auto* box = d->findChild<QDialogButtonBox*>();
                box->button(confirm ? QDialogButtonBox::Ok : QDialogButtonBox::Cancel)->click();
            },
            &seen);
        const auto answer = prompts.askPassword("Иванов Иван Иванович");
        QVERIFY(seen);
        if (confirm) {
            QVERIFY(answer.has_value());
            QCOMPARE(QString::fromStdString(*answer), typed);
        } else {
            QVERIFY(!answer.has_value());
        }
    }

    // "#", "?", "%" and blanks in a folder name are part of the name, not URL syntax.
    void openFolderHandsAFileUrlToTheDesktop() {
        UrlCatcher catcher;
        QDesktopServices::setUrlHandler(QStringLiteral("file"), &catcher, "open");
        const std::string folder = "/tmp/Отчёты #1/папка с пробелами ?%20/";
        prompts.openFolder(folder);
        QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
        QCOMPARE(catcher.urls.size(), 1);
        QCOMPARE(catcher.urls.first().scheme(), QStringLiteral("file"));
        QVERIFY(catcher.urls.first().isLocalFile());
        QCOMPARE(catcher.urls.first().toLocalFile(), QString::fromStdString(folder));
    }

    // Nested wait cursors are lifted for the dialog and all come back afterwards.
    void nestedWaitCursorsComeBack() {
        plombar::app::BusyCursor outer;
        plombar::app::BusyCursor inner;
        QString during;
        whenModal<QMessageBox>([&](QMessageBox* box) {
            during = cursorState();
            box->accept();
        });
        prompts.showMessage("x");
        QCOMPARE(during, QStringLiteral("normal"));
        QCOMPARE(cursorState(), QStringLiteral("wait"));
        QApplication::restoreOverrideCursor();
        QCOMPARE(cursorState(), QStringLiteral("wait"));
        QApplication::setOverrideCursor(Qt::WaitCursor); // for `inner` to take back
    }

    void titleComesFromTheExecutableName() {
        QCOMPARE(QString::fromStdString(plombar::app::executableTitle()), QStringLiteral("tst_app_prompts"));
    }

    // Last: the translator stays installed for the rest of the process.
    void qtDialogsSpeakRussian() {
        QVERIFY(plombar::app::installQtTranslations());
        bool seen = false;
        whenModal<QFileDialog>(
            [&](QFileDialog* d) {
                QCOMPARE(d->windowTitle(), QStringLiteral("Открыть"));
                auto* box = d->findChild<QDialogButtonBox*>();
                QVERIFY(box != nullptr);
                QCOMPARE(box->button(QDialogButtonBox::Cancel)->text(), QStringLiteral("Отмена"));
                d->reject();
            },
            &seen);
        prompts.openFile("fileToSignDialog", "", "");
        QVERIFY(seen);
    }
};

// The scripted stand-in that every GUI test relies on: what it logs and answers.
class TestScriptedPrompts : public QObject {
    Q_OBJECT

private slots:
    void answersInOrderAndLogsEveryPrompt() {
        plombar::app::test::ScriptedPrompts p;
        const std::vector certs = {certificate("Иванов", true), certificate("Петрова", false)};
        p.answerFile("/a");
        p.cancelFile();
        p.answerCertificate(1, {0});
        p.answerPassword("секрет");
        QStringList seen;
        p.onPrompt = [&](const QString& entry) { seen << entry; };

        QCOMPARE(p.openFile("fileToSignDialog", "A|*.a", "/old"), std::optional<std::string>("/a"));
        QCOMPARE(p.openFile("fileToSignDialog", "", ""), std::optional<std::string>());
        p.showMessage("Готово");
        p.showError("File not found.");
        QCOMPARE(p.selectCertificate("Заголовок", "", certs), std::optional<std::size_t>(1));
        QCOMPARE(p.askPassword("Иванов"), std::optional<std::string>("секрет"));
        p.openFolder("/tmp/x/");
        const QStringList expected = {"openFile: fileToSignDialog filter=\"A|*.a\" initial=\"/old\"",
                                      "openFile: fileToSignDialog filter=\"\" initial=\"\"",
                                      "message: Готово",
                                      "error: File not found.",
                                      "selectCertificate: title=\"Заголовок\" text=\"\" [Иванов; Петрова]",
                                      "viewCertificate: Иванов",
                                      "password: Иванов",
                                      "openFolder: /tmp/x/"};
        QCOMPARE(p.log, expected);
        QCOMPARE(seen, expected);
        QCOMPARE(p.unscripted(), QStringList());
        QCOMPARE(p.pendingAnswers(), QStringList());
    }

    void unscriptedPromptsAreLoggedAndCancelled() {
        plombar::app::test::ScriptedPrompts p;
        const std::vector certs = {certificate("Иванов", true)};
        QVERIFY(!p.openFile("dataFileDialog", "", "").has_value());
        QVERIFY(!p.selectCertificate("", "", certs).has_value());
        QVERIFY(!p.askPassword("Иванов").has_value());
        p.answerCertificate(5);
        QVERIFY(!p.selectCertificate("", "", certs).has_value());
        QCOMPARE(p.unscripted(), QStringList({"UNSCRIPTED openFile: dataFileDialog filter=\"\" initial=\"\"",
                                              "UNSCRIPTED selectCertificate: title=\"\" text=\"\" [Иванов]",
                                              "UNSCRIPTED password: Иванов",
                                              "UNSCRIPTED selectCertificate: row 5 of 1 does not exist"}));
        p.answerFile("/left");
        p.cancelCertificate();
        QCOMPARE(p.pendingAnswers(), QStringList({"file: /left", "certificate: cancel"}));
        p.reset();
        QCOMPARE(p.log, QStringList());
        QCOMPARE(p.pendingAnswers(), QStringList());
    }
};

int main(int argc, char** argv) {
    plombar::app::test::useOffscreenWhenHeadless();
    QApplication app(argc, argv);
    TestScriptedPrompts scripted;
    int failures = QTest::qExec(&scripted, argc, argv);
    TestQtPrompts test;
    failures += QTest::qExec(&test, argc, argv);
    return failures;
}

#include "test_app_prompts.moc"
