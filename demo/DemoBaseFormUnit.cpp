#include "DemoBaseFormUnit.h"

#include <QDesktopServices>
#include <QHBoxLayout>
#include <QLinearGradient>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QScreen>
#include <QUrl>
#include <QVBoxLayout>

namespace ix {

namespace {

const QColor LogoDark(0x1f, 0x3a, 0x5f);
const QColor LogoLight(0x3d, 0x6f, 0xa8);

void PaintBackground(QPainter& painter, const QRect& area) {
    QLinearGradient gradient(area.topLeft(), area.bottomLeft());
    gradient.setColorAt(0, LogoLight);
    gradient.setColorAt(1, LogoDark);
    painter.fillRect(area, gradient);
}

// An envelope and the product name.
void PaintLeft(QPainter& painter, const QRect& area) {
    PaintBackground(painter, area);
    painter.setRenderHint(QPainter::Antialiasing);
    QRectF envelope(18, 19, 56, 40);
    painter.setPen(QPen(Qt::white, 2.5));
    painter.setBrush(QColor(255, 255, 255, 40));
    painter.drawRoundedRect(envelope, 4, 4);
    QPainterPath flap;
    flap.moveTo(envelope.topLeft());
    flap.lineTo(envelope.center().x(), envelope.top() + 22);
    flap.lineTo(envelope.topRight());
    painter.setBrush(Qt::NoBrush);
    painter.drawPath(flap);
    QFont font = painter.font();
    font.setPointSize(20);
    font.setBold(true);
    painter.setFont(font);
    painter.drawText(QRect(92, 8, area.width() - 92, 40), Qt::AlignLeft | Qt::AlignVCenter, "ixmail");
    font.setPointSize(9);
    font.setBold(false);
    painter.setFont(font);
    painter.drawText(QRect(94, 44, area.width() - 94, 24), Qt::AlignLeft | Qt::AlignVCenter,
                     "Internet mail components");
}

void PaintRight(QPainter& painter, const QRect& area) {
    PaintBackground(painter, area);
    painter.setPen(QColor(255, 255, 255, 200));
    QFont font = painter.font();
    font.setPointSize(9);
    font.setItalic(true);
    painter.setFont(font);
    painter.drawText(area.adjusted(0, 0, -14, 0), Qt::AlignRight | Qt::AlignVCenter, "IMAP4 client sample");
}

}  // namespace

TixLogoImage::TixLogoImage(TixPaintProc paint, QWidget* parent) : QWidget(parent), paint_(std::move(paint)) {
    setCursor(Qt::PointingHandCursor);
}

void TixLogoImage::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    paint_(painter, rect());
}

void TixLogoImage::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) emit clicked();
}

TixDemoBaseForm::TixDemoBaseForm(QWidget* parent) : QMainWindow(parent) {
    setFont(QFont("Tahoma", 8));
    auto* central = new QWidget(this);
    auto* column = new QVBoxLayout(central);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);

    pnlLogo = new QWidget(central);
    pnlLogo->setFixedHeight(78);
    auto* row = new QHBoxLayout(pnlLogo);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(0);
    imLogoLeft = new TixLogoImage(PaintLeft, pnlLogo);
    imLogoLeft->setFixedWidth(406);
    imLogoMiggle = new TixLogoImage(PaintBackground, pnlLogo);
    imLogoRight = new TixLogoImage(PaintRight, pnlLogo);
    imLogoRight->setFixedWidth(209);
    row->addWidget(imLogoLeft);
    row->addWidget(imLogoMiggle, 1);
    row->addWidget(imLogoRight);
    for (TixLogoImage* image : {imLogoLeft, imLogoMiggle, imLogoRight})
        connect(image, &TixLogoImage::clicked, this, &TixDemoBaseForm::imLogoLeftClick);

    pnlMain = new QWidget(central);
    column->addWidget(pnlLogo);
    column->addWidget(pnlMain, 1);
    setCentralWidget(central);
}

QString TixDemoBaseForm::GetSupportAddress() const {
    return {};
}

void TixDemoBaseForm::imLogoLeftClick() {
    QString address = GetSupportAddress();
    if (!address.isEmpty()) QDesktopServices::openUrl(QUrl(address));
}

}  // namespace ix
