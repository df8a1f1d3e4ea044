#pragma once

#include <QJsonObject>
#include <QList>
#include <QString>
#include <QPoint>
#include <QPointer>
#include <QWidget>

#include <functional>

#include "CameraCommand.h"
#include "PanTiltKeys.h"

class DC_Recv;
class FramePump;
class PreviewOpenThread;
class PreviewRenderer;
class PreviewWindow;
class QAbstractButton;
class QButtonGroup;
class QCheckBox;
class QComboBox;
class QGridLayout;
class QLabel;
class QPushButton;
class RenderWidget;
class titleWidget;

// The PTZ control panel: the connected camera's live picture, and the controls that steer it
// (mirror/flip, left/right direction, the pan/tilt pad with home, ten presets with Set and
// Reset, focus and zoom). Every control turns into one CameraCommand of the panel emitted on
// signal_AddUSBCommand, which the main window hands to the command router (the way every
// camera command takes); only the inverted tilt and the two reads of slot_initialize call
// the receiver directly.
//
// Each pad, home and zoom button carries the property "isEnable": its press and release act
// only while it is true (holding one zoom button switches the other one off). Without a
// receiver no control sends anything; Set and Reset still toggle.
//
// The keyboard steers too: the arrows pan and tilt (two held arrows move diagonally), Home
// sends the camera home, + and - zoom while held, a digit calls its preset (as a click on the
// preset button would, so Set and Reset apply) and Ctrl+digit saves it. Keys take the same
// commands and obey the same "isEnable" and receiver rules as the buttons; key auto-repeat
// sends nothing. A key held while the panel loses the keyboard (or hides) is taken as let go.
//
// The preview: setRender puts a preview window into the preview area, shows "Connecting…"
// and attaches its renderer to the receiver's FramePump, the one puller of that camera's
// pictures (the main window's, through setPumpProvider; without one the panel keeps a pump
// of its own). The pump runs startPreview on its thread and hands frames over only once that
// call has returned. Closing the panel detaches it at once; when nobody else wants the
// pictures the pump leaves stopPreview to the same thread, so neither an open nor a close
// holds up the interface.
//
// Several cameras: the settings row's camera selector ("camera_comboBox", shown while more
// than one camera is connected) chooses the camera the panel steers; the main window fills
// it (setCameraChoices) and, on signal_CameraChosen, hands the panel that camera's receiver
// and description. Every command the panel emits names its camera (setCameraLocation).
//
// Threading: interface thread only; the preview thread's end reaches it queued.
class PTZControlForm : public QWidget {
    Q_OBJECT

public:
    explicit PTZControlForm(QWidget* parent = nullptr);
    // Waits for the preview thread (bounded by the open's timeouts).
    ~PTZControlForm() override;

    void setUSBDataObject(QJsonObject dataObject);
    void setRender();

    // One camera the selector offers: its location identity and what the selector shows.
    struct CameraChoice {
        QString location;
        QString label;
    };
    // The connected cameras, and which one is shown as chosen (its location, any case).
    // Changes no receiver: that is the main window's, on signal_CameraChosen.
    void setCameraChoices(const QList<CameraChoice>& choices, const QString& chosen);
    // The camera the panel's commands name (empty: none named, the default camera).
    void setCameraLocation(const QString& location) { _cameraLocation = location; }
    QString cameraLocation() const { return _cameraLocation; }
    QComboBox* cameraSelector() const { return _cameraComboBox; }

    DC_Recv* receiver() const { return _receiver; }
    QJsonObject usbDataObject() const { return _usbDataObject; }
    // Present while a preview runs (or is being opened).
    PreviewWindow* previewWindow() const { return _previewWindow; }
    PreviewRenderer* renderer() const { return _renderer; }
    // The open thread of the pump the preview uses (an idle one while there is none).
    PreviewOpenThread* previewThread() const;
    // Where the panel gets a receiver's pump (null from it: the panel makes its own).
    void setPumpProvider(std::function<FramePump*(DC_Recv*)> provider) {
        _pumpProvider = std::move(provider);
    }
    RenderWidget* renderArea() const { return _renderWidget; }

signals:
    void signal_moveWidget(QPoint movePoint);
    void signal_InofButtonClicked();
    void signal_SetInvertTilt(bool invertTilt);
    // The same, for the camera it was set on.
    void signal_SetCameraInvertTilt(QString location, bool invertTilt);
    // The user chose another camera in the selector.
    void signal_CameraChosen(QString location);
    void signal_AddUSBCommand(CameraCommand command);

public slots:
    void slot_SetCameraControl(DC_Recv* recv);
    void slot_initialize();
    void slot_SetInvertTilt();
    void slot_SetMirrorFlip();
    void slot_switchFocusMode();

    void slot_pressFocusFar();
    void slot_pressFocusNear();
    void slot_releaseFocusFar();
    void slot_releaseFocusNear();

    void slot_pressZoomInBtn();
    void slot_releaseZoomInBtnControl();
    void slot_pressZoomOutBtn();
    void slot_releaseZoomOutBtnControl();

    void slot_pressPanUpBtn();
    void slot_pressPanDownBtn();
    void slot_pressPanLeftBtn();
    void slot_pressPanRightBtn();
    void slot_pressPanUpLeftBtn();
    void slot_pressPanUpRightBtn();
    void slot_pressPanDownLeftBtn();
    void slot_pressPanDownRightBtn();
    void slot_releasePanUpBtn();
    void slot_releasePanDownBtn();
    void slot_releasePanLeftBtn();
    void slot_releasePanRightBtn();
    void slot_releasePanUpLeftBtn();
    void slot_releasePanUpRightBtn();
    void slot_releasePanDownLeftBtn();
    void slot_releasePanDownRightBtn();
    void slot_pressPanHomeBtn();

    void slot_PresetButtonClicked(QAbstractButton* button);
    void slot_checkPresetSetResetState();

    void slot_MinButtonClicked();
    void slot_CloseButtonClicked();
    void slot_InfoClicked();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void changeEvent(QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    // The pump for _receiver: the provider's, else the panel's own (made afresh for a new
    // receiver).
    FramePump* pumpForReceiver();
    // _receiver is about to go or change: the panel's own pump forgets it.
    void dropPump();
    void buildForm();
    QWidget* buildPad(QWidget* parent);
    QWidget* buildPresets(QWidget* parent);
    QWidget* buildLens(QWidget* parent);
    QPushButton* makeButton(QWidget* parent, const QString& objectName, const QString& text,
                            const QString& toolTip);
    void teardownPreview();

    // A pad or home button's command (4, value), when there is a receiver and the button's
    // "isEnable" is true.
    void send(CameraCommand::Kind kind, int value = 0);
    void sendPad(QPushButton* button, CameraCommand::Direction direction);
    void pressZoom(QPushButton* self, QPushButton* other, CameraCommand::Kind kind);
    void releaseZoom(QPushButton* self, QPushButton* other);
    QPushButton* padButtonFor(CameraCommand::Direction direction) const;
    // Lets go of every held key (arrows, zoom): stops what they moved.
    void releaseHeldKeys();
    bool handleKey(QKeyEvent* event, bool pressed);

    // Form (owned by their Qt parents).
    titleWidget* _titleBar = nullptr;
    RenderWidget* _renderWidget = nullptr;
    QCheckBox* _directionCheckBox = nullptr;
    QComboBox* _mirrorFlipComboBox = nullptr;
    QComboBox* _cameraComboBox = nullptr;  // item data: the camera's location
    QPushButton* _panUp = nullptr;
    QPushButton* _panDown = nullptr;
    QPushButton* _panLeft = nullptr;
    QPushButton* _panRight = nullptr;
    QPushButton* _panUpLeft = nullptr;
    QPushButton* _panUpRight = nullptr;
    QPushButton* _panDownLeft = nullptr;
    QPushButton* _panDownRight = nullptr;
    QPushButton* _panHome = nullptr;
    QButtonGroup* _presetGroup = nullptr;
    QPushButton* _presetButtons[10] = {};
    QPushButton* _setButton = nullptr;
    QPushButton* _resetButton = nullptr;
    QPushButton* _afButton = nullptr;
    QPushButton* _focusInButton = nullptr;   // "+": focuses near
    QPushButton* _focusOutButton = nullptr;  // "-": focuses far
    QPushButton* _zoomInButton = nullptr;
    QPushButton* _zoomOutButton = nullptr;

    DC_Recv* _receiver = nullptr;  // not owned: the camera list's
    QJsonObject _usbDataObject;
    QString _cameraLocation;  // the camera the commands name

    PreviewWindow* _previewWindow = nullptr;   // owned while a preview runs
    PreviewRenderer* _renderer = nullptr;      // owned while a preview runs
    QPointer<FramePump> _pump;                 // the pump the preview uses; not owned unless _ownPump
    FramePump* _ownPump = nullptr;             // child: the panel's own, without a provider
    PreviewOpenThread* _idleThread = nullptr;  // child; never started
    std::function<FramePump*(DC_Recv*)> _pumpProvider;

    bool dragging = false;
    QPoint pressPosition;  // widget coordinates of the press that began the drag

    PanTiltKeys _panKeys;
    QPushButton* _zoomKeyButton = nullptr;  // the zoom button whose key is held, or null
};
