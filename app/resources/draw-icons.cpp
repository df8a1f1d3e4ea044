// Draws the application's icon set into icons/. Not part of the build: the PNGs are committed.
// Rebuild them with:
//   g++ -std=c++17 -fPIC draw-icons.cpp $(pkg-config --cflags --libs Qt6Gui) -o /tmp/draw-icons
//   QT_QPA_PLATFORM=offscreen /tmp/draw-icons .
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>

static const QColor kAccent("#4BBDEF");
static const QColor kAccentDark("#2E8FBC");
static const QColor kText("#f0f0f0");
static const QColor kDark("#2D3336");
static const QColor kGrey("#595959");

static QImage canvas(int w, int h) {
    QImage img(w, h, QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::transparent);
    return img;
}

static void appIcon(const QString& dir) {
    QImage img = canvas(128, 128);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(kDark);
    p.drawRoundedRect(QRectF(4, 4, 120, 120), 26, 26);
    // camera body
    p.setBrush(kAccent);
    p.drawRoundedRect(QRectF(22, 40, 62, 48), 10, 10);
    // lens front (the PTZ head looks right)
    QPainterPath lens;
    lens.moveTo(84, 54);
    lens.lineTo(106, 42);
    lens.lineTo(106, 86);
    lens.lineTo(84, 74);
    lens.closeSubpath();
    p.drawPath(lens);
    // lens glass
    p.setBrush(kDark);
    p.drawEllipse(QPointF(53, 64), 15, 15);
    p.setBrush(kText);
    p.drawEllipse(QPointF(53, 64), 7, 7);
    // sound arcs above the camera
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(kText, 5, Qt::SolidLine, Qt::RoundCap));
    p.drawArc(QRectF(38, 14, 30, 30), 40 * 16, 100 * 16);
    p.drawArc(QRectF(28, 4, 50, 50), 45 * 16, 90 * 16);
    p.end();
    img.save(dir + "/icons/Vantor.png");
}

static void infoIcon(const QString& dir) {
    QImage img = canvas(32, 32);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(kText, 2.5));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(QRectF(2.5, 2.5, 27, 27));
    p.setPen(Qt::NoPen);
    p.setBrush(kText);
    p.drawEllipse(QPointF(16, 9.5), 2.2, 2.2);
    p.drawRoundedRect(QRectF(14, 13.5, 4, 11), 1.5, 1.5);
    p.end();
    img.save(dir + "/icons/icon/information.png");
}

// The title-bar buttons carry their glyph as text; the images are their backgrounds.
static void buttonBackground(const QString& path, const QColor& fill) {
    QImage img = canvas(40, 40);
    if (fill.isValid()) {
        QPainter p(&img);
        p.fillRect(img.rect(), fill);
    }
    img.save(path);
}

static void switchIcon(const QString& path, bool on) {
    QImage img = canvas(48, 24);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(on ? kAccent : kGrey);
    p.drawRoundedRect(QRectF(1, 2, 46, 20), 10, 10);
    p.setBrush(kText);
    p.drawEllipse(QPointF(on ? 37 : 11, 12), 8, 8);
    p.end();
    img.save(path);
}

// The pan/tilt pad's arrows: one drawing pointing up, turned in steps of 45 degrees.
static void arrowIcon(const QString& path, int degrees) {
    QImage img = canvas(32, 32);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.translate(16, 16);
    p.rotate(degrees);
    QPainterPath arrow;
    arrow.moveTo(0, -12);
    arrow.lineTo(10, 0);
    arrow.lineTo(4, 0);
    arrow.lineTo(4, 11);
    arrow.lineTo(-4, 11);
    arrow.lineTo(-4, 0);
    arrow.lineTo(-10, 0);
    arrow.closeSubpath();
    p.setPen(Qt::NoPen);
    p.setBrush(kText);
    p.drawPath(arrow);
    p.end();
    img.save(path);
}

static void homeIcon(const QString& path) {
    QImage img = canvas(32, 32);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(kText);
    QPainterPath roof;
    roof.moveTo(16, 4);
    roof.lineTo(29, 16);
    roof.lineTo(3, 16);
    roof.closeSubpath();
    p.drawPath(roof);
    p.drawRect(QRectF(7, 15, 18, 13));
    p.setBrush(kGrey);
    p.drawRect(QRectF(13.5, 20, 5, 8));
    p.end();
    img.save(path);
}

// Reset: a circular arrow.
static void resetIcon(const QString& path) {
    QImage img = canvas(32, 32);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(kText, 3, Qt::SolidLine, Qt::RoundCap));
    p.setBrush(Qt::NoBrush);
    p.drawArc(QRectF(6, 6, 20, 20), 100 * 16, 290 * 16);
    p.setPen(Qt::NoPen);
    p.setBrush(kText);
    QPainterPath head;
    head.moveTo(19, 2);
    head.lineTo(19, 13);
    head.lineTo(10, 7);
    head.closeSubpath();
    p.drawPath(head);
    p.end();
    img.save(path);
}

// Zoom: a magnifier with a plus or a minus.
static void zoomIcon(const QString& path, bool in) {
    QImage img = canvas(32, 32);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(kText, 2.5));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(QRectF(4, 4, 18, 18));
    p.setPen(QPen(kText, 4, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(20, 20), QPointF(28, 28));
    p.setPen(QPen(kText, 2.5, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(8.5, 13), QPointF(17.5, 13));
    if (in)
        p.drawLine(QPointF(13, 8.5), QPointF(13, 17.5));
    p.end();
    img.save(path);
}

// The tick of a checked box.
static void checkIcon(const QString& path) {
    QImage img = canvas(16, 16);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(kDark, 2.2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    QPainterPath tick;
    tick.moveTo(3.5, 8.5);
    tick.lineTo(6.5, 11.5);
    tick.lineTo(12.5, 4.5);
    p.drawPath(tick);
    p.end();
    img.save(path);
}

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    const QString dir = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(".");
    appIcon(dir);
    infoIcon(dir);
    buttonBackground(dir + "/icons/icon/min_normal.png", QColor());
    buttonBackground(dir + "/icons/icon/min_hover.png", kAccent);
    buttonBackground(dir + "/icons/icon/min_pressed.png", kAccentDark);
    buttonBackground(dir + "/icons/icon/close_normal.png", QColor());
    buttonBackground(dir + "/icons/icon/close_hover.png", kAccent);
    buttonBackground(dir + "/icons/icon/close_pressed.png", kAccentDark);
    switchIcon(dir + "/icons/btn/switch-on.png", true);
    switchIcon(dir + "/icons/btn/switch-off.png", false);
    const char* arrows[] = {"up", "up_right", "right", "down_right", "down", "down_left", "left", "up_left"};
    for (int i = 0; i < 8; ++i) arrowIcon(dir + "/icons/ptz/arrow_" + arrows[i] + ".png", i * 45);
    homeIcon(dir + "/icons/ptz/home.png");
    resetIcon(dir + "/icons/ptz/reset.png");
    zoomIcon(dir + "/icons/ptz/zoom_in.png", true);
    zoomIcon(dir + "/icons/ptz/zoom_out.png", false);
    checkIcon(dir + "/icons/ptz/check.png");
    return 0;
}
