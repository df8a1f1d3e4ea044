#pragma once

// vexsdk: discovery, command channel and media pipeline for USB PTZ conference cameras
// (USB vendor 1d4d). This is the library's whole public surface; member order of every
// record is part of the binary interface shared with host programs.

#include <cstdint>
#include <list>
#include <map>
#include <string>

#if defined(_WIN32)
#  if defined(VEXSDK_BUILDING)
#    define VEXSDK_API __declspec(dllexport)
#  else
#    define VEXSDK_API __declspec(dllimport)
#  endif
#else
#  define VEXSDK_API __attribute__((visibility("default")))
#endif

// ---------------------------------------------------------------------------------------
// Records
// ---------------------------------------------------------------------------------------

// A caller-owned text: `source` is malloc'ed, NUL-terminated UTF-8; `length` counts the NUL.
struct DC_SourceText {
    char* source;
    int32_t length;
};

// format: 0 uncompressed or other, 1 H.264, 2 HEVC, 4 MJPEG.
struct DC_VideoFormat {
    int32_t width;
    int32_t height;
    double frameRate;
    int32_t format;
    bool reserved;
    int32_t index;
};

struct DC_AudioFormat {
    int32_t sampleRate;
    int32_t channels;
    int32_t bitsPerSample;
    bool reserved;
};

// What discovery fills and a receiver is built from. Copying is member-wise: the lists and
// the two aux texts are copied deeply; the three DC_SourceText pointers and renderWindowRef
// are copied as pointers (the holders and their texts belong to the caller). Destruction
// frees the lists and texts only.
struct DC_CaptureFormats {
    DC_SourceText* url = nullptr;              // local: piece of the device path; network: URL
    DC_SourceText* videoDeviceName = nullptr;  // filled by getSources: "@device_pnp_" + path
    DC_SourceText* audioDeviceName = nullptr;  // filled by getSources: audio friendly name
    std::list<std::string> videoDeviceList;
    std::list<std::string> audioDeviceList;
    std::list<DC_VideoFormat> videoFormatList;
    std::list<DC_AudioFormat> audioFormatList;
    void* renderWindowRef = nullptr;
    int32_t videoFormatIndex = 0;
    int32_t sourceType = 0;  // 0 local capture device, 1 network stream URL
    int32_t audioDeviceIndex = 0;
    int32_t frameRate = 0;
    int32_t extraValue = 0;
    std::list<bool> sameNameFlags;
    std::string auxText1;
    std::string auxText2;
    int32_t deviceModel = 0;
};

enum DC_Error_Type { DC_ERROR_NONE = 0, DC_ERROR_TIMEOUT = 1, DC_ERROR_NOT_RUNNING = 2 };

// Frames are lent by the capture calls until the matching free call.
struct DC_Video_Frame {
    int32_t width;
    int32_t height;
    double frameRate;
    float aspect;
    double pts;
    uint8_t* data[8];
    int32_t linesize[8];
    int32_t format;
};

struct DC_Audio_Frame {
    int32_t sampleRate;
    int32_t channels;
    int32_t samples;
    double pts;
    uint8_t* data[8];
    int32_t linesize[8];
    int32_t bufferSize;
    int32_t format;
};

struct DC_JPEG_Frame {
    uint8_t* data;
    int32_t size;
};

struct VEXSDK_API DC_FWVersion;

// ---------------------------------------------------------------------------------------
// Discovery
// ---------------------------------------------------------------------------------------

struct KXFindState;

class VEXSDK_API DC_Find {
public:
    DC_Find();
    ~DC_Find();
    DC_Find(const DC_Find&) = delete;
    DC_Find& operator=(const DC_Find&) = delete;

    bool initialize();
    void getSources(DC_CaptureFormats* formats);
    bool checkIsQuillonModel(const char* vendorId, const char* productId);
    std::string getDevModelName(int model);
    int getDevModel(const char* text, char* modelName);  // modelName: at least 25 bytes
    int getDevModel(int ordinal);
    int getDevModelwithLocation(char* location, int ordinal);

private:
    KXFindState* _state;  // owned
};

// ---------------------------------------------------------------------------------------
// Camera receiver
// ---------------------------------------------------------------------------------------

class ReceiverCore;

class VEXSDK_API DC_Recv {
public:
    explicit DC_Recv(DC_CaptureFormats formats);
    ~DC_Recv();
    DC_Recv(const DC_Recv&) = delete;
    DC_Recv& operator=(const DC_Recv&) = delete;

    // lifecycle and capture
    // aiFlag: the camera-control flags of AI mode, owned by the caller and kept valid for
    // the receiver's lifetime. With AI mode on it must address at least three bytes: a
    // non-zero third byte mirrors left and right in the camera commands; null lets AI mode
    // outline faces without moving the camera.
    bool initialize(bool* aiFlag);
    void startPreview(void* deviceManager);
    void stopPreview();
    void pause();
    void resume();
    DC_Error_Type captureVideo(DC_Video_Frame* frame, uint32_t timeoutMs);
    DC_Error_Type captureAudio(DC_Audio_Frame* frame, uint32_t timeoutMs);
    DC_Error_Type captureJPEG(DC_JPEG_Frame* frame, uint32_t timeoutMs);
    void freeVideo(DC_Video_Frame* frame);
    void freeAudio(DC_Audio_Frame* frame);
    void freeJPEG(DC_JPEG_Frame* frame);
    void setIsEnableDXAV2Decode(bool on);
    // recording
    bool recordingStart(const char* folder, const char* fileName, bool withAudio);
    bool recordingStop();
    // digital zoom and AI mode
    void setIsEnableDigitalZoom(bool on);
    void setDigitalZoomIn();
    void setDigitalZoomOut();
    void setDigitalZoomStop();
    void setDigitalZoomMoveLeft();
    void setDigitalZoomMoveRight();
    void setDigitalZoomMoveUp();
    void setDigitalZoomMoveDown();
    void setDigitalZoomHome();
    // AI mode: finds faces in every frame taken with captureVideo (on the calling thread),
    // outlines them in red, hands the frame out in pixel format 12 (full-range YUV 4:2:0) and
    // steers the camera to frame the chosen face. Modes: 3 switches tracking on (and follows
    // with profile 3); 0 and 1 follow while tracking is on; 2 follows the person talking.
    // AI mode assumes a 1920x1080 picture: offsets are measured from its centre (960, 540)
    // and other sizes are not rescaled. Switching on loads the face models; when one cannot
    // be read AI mode stays off (the debug log names the file) and frames pass unchanged.
    // One face tracker serves the whole process: run AI mode on one receiver at a time.
    void setIsEnableAIMode(bool on, int mode);
    // camera control
    int setPanUp();
    int setPanDown();
    int setPanLeft();
    int setPanRight();
    int setPanUpLeft();
    int setPanUpRight();
    int setPanDownLeft();
    int setPanDownRight();
    int setPanStop(int command);
    int setPanHome();
    int setPanSpeed(int speed);
    int setTiltSpeed(int speed);
    int setZoomIn();
    int setZoomOut();
    int setZoomStop(int command);
    int setFocusFar();
    int setFocusNear();
    int setFocusStop();
    int setAutoFocusMode(int mode);
    int getAutoFocusMode(int* mode);
    int setRotate(int value);
    int getRotate(int* value);
    int callPreset(int preset);
    int savePreset(int preset);
    int resetPreset(int preset);
    int setWhiteBalanceMode(int mode);
    int getWhiteBalance(int* value);
    int getAutoWhitebalance(int* value);
    int setAutoFocusTrigger();
    int setAutoWhitebalanceTrigger();
    int setFactoryResetTrigger();
    int setAutoExposure(int command);
    int setAutoTrackingEnable(int value);
    int getFWVersion(char* text, int* length);
    int getFWVersion(DC_FWVersion* version);
    void setInvertTilt(bool on);
    bool isGetFilter();
    // the library's own microphone-array client: one link per process to a Shure array's
    // port 2202 (dotted IPv4 address). recvShureSoundArrayData(false) reads once (waiting up
    // to 1000 ms), recalls the preset mapped to the single channel whose gate is open when
    // that channel changed, and answers the selected channel (0: none; 0 also when the array
    // closed the link); recvShureSoundArrayData(true) closes the link. One thread at a time.
    bool connectShureSound(const char* ip);
    void setSoundArrayPresetMap(std::map<int, int> map);
    int recvShureSoundArrayData(bool close);

private:
    ReceiverCore* _core;  // owned
};

// ---------------------------------------------------------------------------------------
// Camera control through the USB extension unit
// ---------------------------------------------------------------------------------------

// The abstract camera-control class. Its virtual slots keep this order (the destructor is
// slot 0). Results are int32: 0 success, -1 platform call failed, 65535 no extension unit on
// a write, -255 no command table for the model. "default" means the command row's default
// value, requested by passing 65535.
class VEXSDK_API KXIDShow_Control {
public:
    KXIDShow_Control();
    KXIDShow_Control(const KXIDShow_Control& other);
    KXIDShow_Control& operator=(const KXIDShow_Control& other);
    virtual ~KXIDShow_Control();                                // 0

    virtual int initialize(void* filter, int model) = 0;        // 1
    virtual int readCommand(int command, int* value) = 0;       // 2: low 8 bits
    virtual int writeCommand(int command, int value) = 0;       // 3
    virtual int unsupported4() = 0;                             // 4: -255
    virtual int readValue(int command, int* value) = 0;         // 5: as slot 2
    virtual int getFocusMode(int* mode) = 0;                    // 6: read command 10
    virtual int unsupported7() = 0;                             // 7: -255
    virtual int unsupported8() = 0;                             // 8: -255
    virtual int setMirrorFlip(int value) = 0;                   // 9: command 40
    virtual int sendCommand(int command) = 0;                   // 10: given command, default
    virtual int setFocusMode(int mode) = 0;                     // 11: command 11; 0 or -248
    virtual int setWhiteBalanceMode(int mode) = 0;              // 12: command 73
    virtual int autoFocusTrigger() = 0;                         // 13: command 2
    virtual int autoWhiteBalanceTrigger() = 0;                  // 14: command 3
    virtual int factoryResetTrigger() = 0;                      // 15: command 1
    virtual int panTiltStop(int command) = 0;                   // 16: given command, default
    virtual int zoomIn() = 0;                                   // 17: command 36
    virtual int zoomOut() = 0;                                  // 18: command 37
    virtual int zoomStop(int command) = 0;                      // 19: given command, default
    virtual int panUp() = 0;                                    // 20: command 21
    virtual int panDown() = 0;                                  // 21: command 22
    virtual int panLeft() = 0;                                  // 22: command 23
    virtual int panRight() = 0;                                 // 23: command 24
    virtual int panUpLeft() = 0;                                // 24: command 26
    virtual int panUpRight() = 0;                               // 25: command 27
    virtual int panDownLeft() = 0;                              // 26: command 28
    virtual int panDownRight() = 0;                             // 27: command 29
    virtual int setPanSpeed(int speed) = 0;                     // 28: command 30
    virtual int setTiltSpeed(int speed) = 0;                    // 29: command 31
    virtual bool panHome() = 0;                                 // 30: command 25; true when sent (0)
    virtual int focusStop() = 0;                                // 31: command 12
    virtual int focusFar() = 0;                                 // 32: command 14
    virtual int focusNear() = 0;                                // 33: command 13
    virtual int callPreset(int preset) = 0;                     // 34: command 70
    virtual int savePreset(int preset) = 0;                     // 35: command 71
    virtual int resetPreset(int preset) = 0;                    // 36: command 72
    virtual int setAutoTracking(int value) = 0;                 // 37: command 5
};
