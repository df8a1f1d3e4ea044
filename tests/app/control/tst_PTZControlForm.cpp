// The PTZ panel's controls and keys: which camera command each sends, the "isEnable" rules
// (zoom interlock), Set/Reset, what the panel reads from the camera when it opens, and that
// nothing is sent without a receiver. The receiver is a real one of a simulated camera,
// connected by the camera list; the commands are read off the panel's signal, in the
// camera's (command code, value) as the command worker's table spells them.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

#include <memory>

#include "CamUSBControlThread.h"
#include "CameraListView.h"
#include "PTZControlForm.h"
#include "PreviewOpenThread.h"
#include "PreviewRenderer.h"
#include "PreviewWindow.h"
#include "RenderWidget.h"
#include "SimCameraRig.h"
#include "vexsdk.h"

namespace {

using Command = QPair<int, int>;

constexpr uint16_t kFocusModeRegister = 0x00E0;
constexpr uint16_t kMirrorFlipRegister = 0x000B;
constexpr uint16_t kPanTiltRegister = 0x0027;
constexpr uint16_t kPanRightValue = 0x0023;

void key(QWidget* target, QEvent::Type type, int code, Qt::KeyboardModifiers modifiers = Qt::NoModifier,
         bool autoRepeat = false) {
    QKeyEvent event(type, code, modifiers, QString(), autoRepeat);
    QApplication::sendEvent(target, &event);
}

void press(QWidget* target, int code, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    key(target, QEvent::KeyPress, code, modifiers);
}

void release(QWidget* target, int code, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    key(target, QEvent::KeyRelease, code, modifiers);
}

}  // namespace

class TstPTZControlForm : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void form();
    void padButtonsSendTheirMoveAndStopAndHomeSendsHome();
    void holdingOneZoomButtonSilencesTheOther();
    void presetsCallSaveAndResetWithTheToggles();
    void mirrorFlipFocusModeAndFocusButtons();
    void initializeReadsTheCameraAndAppliesInvertedTilt();
    void withoutReceiverNothingIsSentButTheTogglesToggle();
    void arrowKeysPanTiltAndCombineIntoDiagonals();
    void otherKeysZoomGoHomeAndCallOrSavePresets();
    void losingTheKeyboardStopsAHeldKey();
    void draggingMovesThePanelAndReportsIt();
    void anotherReceiverEndsThePreviewOfTheOldOne();
    void cameraSelectorChoosesTheCameraTheCommandsName();

private:
    QList<Command> taken();
    QPushButton* button(const char* name) const {
        return _panel->findChild<QPushButton*>(QLatin1String(name));
    }

    std::unique_ptr<SimCameraRig> _rig;
    SimCameraRig::CameraSpec _camera;
    std::unique_ptr<CameraListView> _list;
    std::unique_ptr<PTZControlForm> _panel;
    std::unique_ptr<QSignalSpy> _commands;
};

void TstPTZControlForm::init() {
    qApp->setProperty("configDataInforJsonObject", QJsonObject());
    _rig = std::make_unique<SimCameraRig>();
    _rig->plug(_camera);
    _list = std::make_unique<CameraListView>();
    _list->slot_GetUSBCameras({SimCameraRig::searchRecord(_camera)});
    QCOMPARE(_list->rowCount(), 1);
    QTest::mouseClick(_list->rowButton(0), Qt::LeftButton);
    QVERIFY(_list->currentReceiver());

    _panel = std::make_unique<PTZControlForm>();
    _panel->slot_SetCameraControl(_list->currentReceiver());
    _commands = std::make_unique<QSignalSpy>(_panel.get(), &PTZControlForm::signal_AddUSBCommand);
}

void TstPTZControlForm::cleanup() {
    _commands.reset();
    _panel.reset();
    _list.reset();
    _rig.reset();
}

QList<Command> TstPTZControlForm::taken() {
    QList<Command> out;
    for (const QList<QVariant>& args : std::as_const(*_commands)) {
        const auto command = args.at(0).value<CameraCommand>();
        // Keys report as the panel.
        if (command.origin != CameraCommand::Origin::Panel || !command.camera.isEmpty())
            qWarning() << "a panel command of another origin or camera";
        const auto [code, value] = CamUSBControlThread::workerCode(command);
        out.append({code, value});
    }
    _commands->clear();
    return out;
}

void TstPTZControlForm::form() {
    QVERIFY(_panel->windowFlags() & Qt::FramelessWindowHint);
    QCOMPARE(_panel->width(), 720);
    QCOMPARE(_panel->minimumHeight(), 660);
    QCOMPARE(_panel->maximumHeight(), 10000);
    QCOMPARE(_panel->renderArea()->size(), QSize(640, 360));
    auto* combo = _panel->findChild<QComboBox*>(QStringLiteral("mirrorFlip_comboBox"));
    QCOMPARE(combo->count(), 4);
    QCOMPARE(combo->itemText(3), QStringLiteral("Mirror+Flip"));
    for (int n = 0; n < 10; ++n) {
        QPushButton* preset = _panel->findChild<QPushButton*>(QStringLiteral("preset%1_pushButton").arg(n));
        QCOMPARE(preset->property("Preset").toInt(), n);
        QCOMPARE(preset->text(), QString::number(n));
    }
    // Every pad and zoom button names its key.
    QVERIFY(button("up_pushButton")->toolTip().contains(QLatin1String("key Up")));
    QVERIFY(button("home_pushButton")->toolTip().contains(QLatin1String("key Home")));
    QVERIFY(button("zoomIn_pushButton")->toolTip().contains(QLatin1String("key +")));
    QVERIFY(button("preset5_pushButton")->toolTip().contains(QLatin1String("Ctrl+5")));
    // A button showing only an icon still has a name for assistive tools.
    for (QPushButton* b :
         _panel->findChild<QWidget*>(QStringLiteral("ptz_content"))->findChildren<QPushButton*>()) {
        if (b->text().isEmpty())
            QVERIFY2(!b->accessibleName().isEmpty(), qPrintable(b->objectName()));
    }
    QCOMPARE(button("downLeft_pushButton")->accessibleName(), QStringLiteral("Down-left"));
    // The panel keeps the keyboard: no control can take it away.
    for (QWidget* child : _panel->findChildren<QWidget*>()) {
        if (qobject_cast<QPushButton*>(child) || qobject_cast<QComboBox*>(child) ||
            qobject_cast<QCheckBox*>(child))
            QCOMPARE(child->focusPolicy(), Qt::NoFocus);
    }
}

void TstPTZControlForm::padButtonsSendTheirMoveAndStopAndHomeSendsHome() {
    const QList<std::pair<const char*, int>> pad = {
        {"up_pushButton", 21},       {"down_pushButton", 22},      {"left_pushButton", 23},
        {"right_pushButton", 24},    {"upLeft_pushButton", 26},    {"upRight_pushButton", 27},
        {"downLeft_pushButton", 28}, {"downRight_pushButton", 29},
    };
    for (const auto& [name, value] : pad) {
        QPushButton* b = button(name);
        QVERIFY(b->property("isEnable").toBool());
        QTest::mousePress(b, Qt::LeftButton);
        QTest::mouseRelease(b, Qt::LeftButton);
        QCOMPARE(taken(), (QList<Command>{{4, value}, {4, 20}}));
    }
    QTest::mouseClick(button("home_pushButton"), Qt::LeftButton);
    QCOMPARE(taken(), (QList<Command>{{4, 25}}));
    // A release is sent even when its press was not (the button was disabled meanwhile),
    // but never while the button itself is disabled.
    button("up_pushButton")->setProperty("isEnable", false);
    QTest::mousePress(button("up_pushButton"), Qt::LeftButton);
    button("up_pushButton")->setProperty("isEnable", true);
    QTest::mouseRelease(button("up_pushButton"), Qt::LeftButton);
    QCOMPARE(taken(), (QList<Command>{{4, 20}}));
}

void TstPTZControlForm::holdingOneZoomButtonSilencesTheOther() {
    QPushButton* in = button("zoomIn_pushButton");
    QPushButton* out = button("zoomOut_pushButton");
    QTest::mousePress(in, Qt::LeftButton);
    QCOMPARE(taken(), (QList<Command>{{9, 0}}));
    QVERIFY(!out->property("isEnable").toBool());
    QTest::mousePress(out, Qt::LeftButton);
    QTest::mouseRelease(out, Qt::LeftButton);
    QCOMPARE(taken(), QList<Command>());
    QTest::mouseRelease(in, Qt::LeftButton);
    QCOMPARE(taken(), (QList<Command>{{11, 0}}));
    QVERIFY(out->property("isEnable").toBool());

    QTest::mousePress(out, Qt::LeftButton);
    QVERIFY(!in->property("isEnable").toBool());
    QTest::mouseRelease(out, Qt::LeftButton);
    QCOMPARE(taken(), (QList<Command>{{10, 0}, {11, 0}}));
    QVERIFY(in->property("isEnable").toBool());

    // The camera goes away while Zoom In is held: letting go still gives Zoom Out back.
    QTest::mousePress(in, Qt::LeftButton);
    _panel->slot_SetCameraControl(nullptr);
    QTest::mouseRelease(in, Qt::LeftButton);
    QVERIFY(out->property("isEnable").toBool());
    QCOMPARE(taken(), (QList<Command>{{9, 0}}));
}

void TstPTZControlForm::presetsCallSaveAndResetWithTheToggles() {
    QPushButton* set = button("set_pushButton");
    QPushButton* reset = button("reset_pushButton");
    QPushButton* three = button("preset3_pushButton");

    QTest::mouseClick(set, Qt::LeftButton);
    QVERIFY(set->isChecked());
    QTest::mouseClick(three, Qt::LeftButton);
    QCOMPARE(taken(), (QList<Command>{{2, 3}}));
    QVERIFY(!set->isChecked());
    QTest::mouseClick(three, Qt::LeftButton);
    QCOMPARE(taken(), (QList<Command>{{1, 3}}));

    // The two toggles exclude each other, whichever comes second.
    QTest::mouseClick(set, Qt::LeftButton);
    QTest::mouseClick(reset, Qt::LeftButton);
    QVERIFY(reset->isChecked());
    QVERIFY(!set->isChecked());
    QTest::mouseClick(set, Qt::LeftButton);
    QVERIFY(set->isChecked());
    QVERIFY(!reset->isChecked());
    QTest::mouseClick(reset, Qt::LeftButton);
    QTest::mouseClick(button("preset7_pushButton"), Qt::LeftButton);
    QCOMPARE(taken(), (QList<Command>{{3, 7}}));
    QVERIFY(!reset->isChecked());
    QVERIFY(!set->isChecked());
}

void TstPTZControlForm::mirrorFlipFocusModeAndFocusButtons() {
    // Picture settings are no override of audio tracking; focusing is.
    auto overrides = [this] {
        int moves = 0;
        for (const QList<QVariant>& args : std::as_const(*_commands))
            moves += args.at(0).value<CameraCommand>().movesCamera() ? 1 : 0;
        return moves;
    };
    auto* combo = _panel->findChild<QComboBox*>(QStringLiteral("mirrorFlip_comboBox"));
    combo->setCurrentIndex(combo->findText(QStringLiteral("Flip")));
    QCOMPARE(overrides(), 0);
    QCOMPARE(taken(), (QList<Command>{{0, 2}}));

    QPushButton* af = button("af_pushButton");
    QVERIFY(af->isCheckable());
    const bool wasOn = af->isChecked();
    QTest::mouseClick(af, Qt::LeftButton);
    QTest::mouseClick(af, Qt::LeftButton);
    QCOMPARE(overrides(), 0);
    QCOMPARE(taken(), (QList<Command>{{5, wasOn ? 0 : 1}, {5, wasOn ? 1 : 0}}));

    // "+" focuses near, "-" far; both stop on release. They ignore "isEnable".
    button("focusIn_pushButton")->setProperty("isEnable", false);
    QTest::mouseClick(button("focusIn_pushButton"), Qt::LeftButton);
    QTest::mouseClick(button("focusOut_pushButton"), Qt::LeftButton);
    QCOMPARE(overrides(), 4);
    QCOMPARE(taken(), (QList<Command>{{7, 0}, {8, 0}, {6, 0}, {8, 0}}));
}

void TstPTZControlForm::initializeReadsTheCameraAndAppliesInvertedTilt() {
    const std::string path = SimCameraRig::devicePath(_camera);
    QPushButton* af = button("af_pushButton");
    auto* combo = _panel->findChild<QComboBox*>(QStringLiteral("mirrorFlip_comboBox"));
    auto* direction = _panel->findChild<QCheckBox*>(QStringLiteral("direction_checkBox"));
    QSignalSpy invert(_panel.get(), &PTZControlForm::signal_SetInvertTilt);

    // A focus mode that is neither auto (1) nor manual (0) leaves the button as it is; the
    // reads set the controls without sending their commands back to the camera.
    _rig->sim().setRegister(path, kFocusModeRegister, 2);
    _rig->sim().setRegister(path, kMirrorFlipRegister, 3);
    af->setChecked(true);
    _panel->setUSBDataObject(QJsonObject{{QStringLiteral("LRInvertTilt"), true}});
    _panel->slot_initialize();
    QVERIFY(af->isChecked());
    QCOMPARE(combo->currentIndex(), 3);
    QVERIFY(direction->isChecked());
    QCOMPARE(invert.count(), 1);
    QCOMPARE(invert.takeFirst().at(0).toBool(), true);
    QCOMPARE(taken(), QList<Command>());
    // Inverted: the receiver turns Left into a move to the right.
    _rig->sim().clearJournal();
    _list->currentReceiver()->setPanLeft();
    QCOMPARE(_rig->writes(_camera).back(), (std::pair<uint16_t, uint16_t>{kPanTiltRegister, kPanRightValue}));

    // Manual focus turns the button off; a mirror/flip value outside the four states leaves
    // the selection; no inverted tilt in the description means none.
    _rig->sim().setRegister(path, kFocusModeRegister, 0);
    _rig->sim().setRegister(path, kMirrorFlipRegister, 9);
    _panel->setUSBDataObject(QJsonObject());
    _panel->slot_initialize();
    QVERIFY(!af->isChecked());
    QCOMPARE(combo->currentIndex(), 3);
    QVERIFY(!direction->isChecked());
    QCOMPARE(invert.takeFirst().at(0).toBool(), false);

    // The user's tick applies directly and is reported for the camera list to keep.
    QTest::mouseClick(direction, Qt::LeftButton);
    QCOMPARE(invert.takeFirst().at(0).toBool(), true);
    QCOMPARE(taken(), QList<Command>());
}

void TstPTZControlForm::withoutReceiverNothingIsSentButTheTogglesToggle() {
    _panel->slot_SetCameraControl(nullptr);
    QVERIFY(!_panel->receiver());
    QSignalSpy invert(_panel.get(), &PTZControlForm::signal_SetInvertTilt);
    for (QPushButton* b : _panel->findChildren<QPushButton*>()) {
        if (b->objectName().contains(QLatin1String("preset")) ||
            b->objectName() == QLatin1String("set_pushButton") ||
            b->objectName() == QLatin1String("reset_pushButton") ||
            b->parent()->objectName() == "title_frame")
            continue;
        QTest::mouseClick(b, Qt::LeftButton);
    }
    QTest::mouseClick(_panel->findChild<QCheckBox*>(QStringLiteral("direction_checkBox")), Qt::LeftButton);
    _panel->findChild<QComboBox*>(QStringLiteral("mirrorFlip_comboBox"))->setCurrentIndex(1);
    for (int code : {int(Qt::Key_Up), int(Qt::Key_Home), int(Qt::Key_Plus), int(Qt::Key_4)}) {
        press(_panel.get(), code);
        release(_panel.get(), code);
    }
    press(_panel.get(), Qt::Key_5, Qt::ControlModifier);
    _panel->slot_initialize();

    QTest::mouseClick(button("set_pushButton"), Qt::LeftButton);
    QVERIFY(button("set_pushButton")->isChecked());
    QTest::mouseClick(button("preset2_pushButton"), Qt::LeftButton);
    QVERIFY(!button("set_pushButton")->isChecked());
    QTest::mouseClick(button("reset_pushButton"), Qt::LeftButton);
    QTest::mouseClick(button("preset2_pushButton"), Qt::LeftButton);
    QVERIFY(!button("reset_pushButton")->isChecked());

    QCOMPARE(taken(), QList<Command>());
    QCOMPARE(invert.count(), 0);
}

void TstPTZControlForm::arrowKeysPanTiltAndCombineIntoDiagonals() {
    QWidget* panel = _panel.get();
    const QList<std::pair<int, int>> arrows = {
        {Qt::Key_Up, 21}, {Qt::Key_Down, 22}, {Qt::Key_Left, 23}, {Qt::Key_Right, 24}};
    for (const auto& [code, value] : arrows) {
        press(panel, code);
        // Auto-repeat while held sends nothing, on press or release.
        key(panel, QEvent::KeyRelease, code, Qt::NoModifier, true);
        key(panel, QEvent::KeyPress, code, Qt::NoModifier, true);
        release(panel, code);
        QCOMPARE(taken(), (QList<Command>{{4, value}, {4, 20}}));
    }

    // Up, then Left: up-left; Up let go: left; Left let go: stop.
    press(panel, Qt::Key_Up);
    press(panel, Qt::Key_Left);
    release(panel, Qt::Key_Up);
    release(panel, Qt::Key_Left);
    QCOMPARE(taken(), (QList<Command>{{4, 21}, {4, 26}, {4, 23}, {4, 20}}));
    // Down with Right, in either order of letting go.
    press(panel, Qt::Key_Right);
    press(panel, Qt::Key_Down);
    release(panel, Qt::Key_Right);
    press(panel, Qt::Key_Left);
    release(panel, Qt::Key_Down);
    release(panel, Qt::Key_Left);
    QCOMPARE(taken(), (QList<Command>{{4, 24}, {4, 29}, {4, 22}, {4, 28}, {4, 23}, {4, 20}}));
    // Of two opposite arrows the later one counts; letting it go turns back.
    press(panel, Qt::Key_Left);
    press(panel, Qt::Key_Right);
    release(panel, Qt::Key_Right);
    release(panel, Qt::Key_Left);
    QCOMPARE(taken(), (QList<Command>{{4, 23}, {4, 24}, {4, 23}, {4, 20}}));

    // Keys follow the buttons' "isEnable": a disabled diagonal sends nothing.
    button("upLeft_pushButton")->setProperty("isEnable", false);
    press(panel, Qt::Key_Up);
    press(panel, Qt::Key_Left);
    release(panel, Qt::Key_Left);
    release(panel, Qt::Key_Up);
    QCOMPARE(taken(), (QList<Command>{{4, 21}, {4, 21}, {4, 20}}));
}

void TstPTZControlForm::otherKeysZoomGoHomeAndCallOrSavePresets() {
    QWidget* panel = _panel.get();
    press(panel, Qt::Key_Home);
    release(panel, Qt::Key_Home);
    QCOMPARE(taken(), (QList<Command>{{4, 25}}));

    // "+" zooms in while held; "-" meanwhile is refused, and its release stops nothing.
    press(panel, Qt::Key_Plus, Qt::ShiftModifier);
    key(panel, QEvent::KeyPress, Qt::Key_Plus, Qt::ShiftModifier, true);
    press(panel, Qt::Key_Minus);
    release(panel, Qt::Key_Minus);
    QVERIFY(!button("zoomOut_pushButton")->property("isEnable").toBool());
    // Shift let go first: the same key comes back up as "=".
    release(panel, Qt::Key_Equal);
    QCOMPARE(taken(), (QList<Command>{{9, 0}, {11, 0}}));
    QVERIFY(button("zoomOut_pushButton")->property("isEnable").toBool());
    press(panel, Qt::Key_Minus, Qt::KeypadModifier);
    release(panel, Qt::Key_Minus, Qt::KeypadModifier);
    QCOMPARE(taken(), (QList<Command>{{10, 0}, {11, 0}}));
    // Zoom In held with the mouse: the "-" key is refused like the button.
    QTest::mousePress(button("zoomIn_pushButton"), Qt::LeftButton);
    press(panel, Qt::Key_Minus);
    release(panel, Qt::Key_Minus);
    QTest::mouseRelease(button("zoomIn_pushButton"), Qt::LeftButton);
    QCOMPARE(taken(), (QList<Command>{{9, 0}, {11, 0}}));

    press(panel, Qt::Key_4);
    press(panel, Qt::Key_5, Qt::ControlModifier);
    press(panel, Qt::Key_0, Qt::KeypadModifier);
    QCOMPARE(taken(), (QList<Command>{{1, 4}, {2, 5}, {1, 0}}));
    // A digit is a click on its preset button: Set applies and ends.
    QTest::mouseClick(button("set_pushButton"), Qt::LeftButton);
    press(panel, Qt::Key_8);
    QVERIFY(!button("set_pushButton")->isChecked());
    // Alt+digit is not ours.
    press(panel, Qt::Key_8, Qt::AltModifier);
    QCOMPARE(taken(), (QList<Command>{{2, 8}}));
}

void TstPTZControlForm::losingTheKeyboardStopsAHeldKey() {
    _panel->show();
    QVERIFY(QTest::qWaitForWindowExposed(_panel.get()));
    press(_panel.get(), Qt::Key_Down);
    press(_panel.get(), Qt::Key_Plus);
    QCOMPARE(taken(), (QList<Command>{{4, 22}, {9, 0}}));
    QFocusEvent out(QEvent::FocusOut, Qt::ActiveWindowFocusReason);
    QApplication::sendEvent(_panel.get(), &out);
    QCOMPARE(taken(), (QList<Command>{{4, 20}, {11, 0}}));
    QVERIFY(button("zoomOut_pushButton")->property("isEnable").toBool());
    // The releases that come later (to another window, or not at all) change nothing.
    release(_panel.get(), Qt::Key_Down);
    release(_panel.get(), Qt::Key_Plus);
    QCOMPARE(taken(), QList<Command>());

    // Hiding the panel (minimise) with an arrow held stops it as well.
    press(_panel.get(), Qt::Key_Left);
    _panel->slot_MinButtonClicked();
    QVERIFY(_panel->isHidden());
    QCOMPARE(taken(), (QList<Command>{{4, 23}, {4, 20}}));
}

void TstPTZControlForm::draggingMovesThePanelAndReportsIt() {
    _panel->move(100, 100);
    _panel->show();
    QVERIFY(QTest::qWaitForWindowExposed(_panel.get()));
    QSignalSpy moved(_panel.get(), &PTZControlForm::signal_moveWidget);
    QWidget* area = _panel->renderArea();
    QTest::mousePress(area, Qt::LeftButton, Qt::NoModifier, QPoint(10, 10));
    const QPoint origin = _panel->pos();
    QMouseEvent move(QEvent::MouseMove, QPointF(40, 30), area->mapToGlobal(QPointF(40, 30)), Qt::NoButton,
                     Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(area, &move);
    QCOMPARE(moved.count(), 1);
    QCOMPARE(moved.at(0).at(0).toPoint(), origin + QPoint(30, 20));
    QCOMPARE(_panel->pos(), origin + QPoint(30, 20));
    QTest::mouseRelease(area, Qt::LeftButton);
}

void TstPTZControlForm::anotherReceiverEndsThePreviewOfTheOldOne() {
    // The simulated camera's stream address leads nowhere: the open fails quickly, which is
    // all this needs.
    QVERIFY(_panel->renderArea()->isPlaceholderVisible());
    _panel->setRender();
    PreviewWindow* first = _panel->previewWindow();
    QVERIFY(first);
    QVERIFY(!_panel->renderArea()->isPlaceholderVisible());
    // Asked again while it is up, the preview stays as it is.
    _panel->setRender();
    QCOMPARE(_panel->previewWindow(), first);
    QTRY_VERIFY_WITH_TIMEOUT(!_panel->previewThread()->isBusy(), 20000);

    // A different receiver without the announcement of none in between: nothing may go on
    // pulling from the old one, which its owner is free to destroy now.
    DC_CaptureFormats formats;
    DC_Recv other(formats);
    _panel->slot_SetCameraControl(&other);
    QCOMPARE(_panel->receiver(), &other);
    QVERIFY(!_panel->previewWindow());
    QVERIFY(!_panel->renderer());
    QVERIFY(_panel->renderArea()->isPlaceholderVisible());
    _panel->slot_SetCameraControl(nullptr);
}

// The selector shows itself only while there is a choice; choosing asks the main window for
// that camera (the panel's receiver stays until it is handed another); the commands name the
// camera the panel steers.
void TstPTZControlForm::cameraSelectorChoosesTheCameraTheCommandsName() {
    QComboBox* selector = _panel->cameraSelector();
    QVERIFY(selector && selector->isHidden());
    const QString a = QStringLiteral("1&2.4&1&0000");
    const QString b = QStringLiteral("1&3&1&0000");
    _panel->setCameraChoices({{a, QStringLiteral("ZM-150 (a)")}, {b, QStringLiteral("ZM-150 (b)")}},
                             b.toUpper());
    QVERIFY(!selector->isHidden());
    QCOMPARE(selector->count(), 2);
    QCOMPARE(selector->currentIndex(), 1);

    _panel->setCameraLocation(b);
    QSignalSpy chosen(_panel.get(), &PTZControlForm::signal_CameraChosen);
    emit selector->activated(1);  // the one it steers already: nothing to do
    QCOMPARE(chosen.count(), 0);
    emit selector->activated(0);
    QCOMPARE(chosen.count(), 1);
    QCOMPARE(chosen.at(0).at(0).toString(), a);
    QCOMPARE(_panel->receiver(), _list->currentReceiver());

    _panel->slot_pressPanHomeBtn();
    QCOMPARE(_commands->count(), 1);
    const auto command = _commands->at(0).at(0).value<CameraCommand>();
    QCOMPARE(command.camera, b);
    QCOMPARE(command.kind, CameraCommand::Kind::PanTilt);
    _commands->clear();

    _panel->setCameraChoices({{a, QStringLiteral("ZM-150 (a)")}}, a);
    QVERIFY(selector->isHidden());
}

QTEST_MAIN(TstPTZControlForm)
#include "tst_PTZControlForm.moc"
