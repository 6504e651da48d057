#pragma once
// The base window of the demos: a drawn logo strip at the top and the client panel below it.

#include <QMainWindow>
#include <QString>
#include <QWidget>
#include <functional>

class QPainter;

namespace ix {

// One picture of the logo strip, drawn rather than loaded; clicking it reports to the form.
class TixLogoImage : public QWidget {
    Q_OBJECT
public:
    using TixPaintProc = std::function<void(QPainter& painter, const QRect& area)>;
    TixLogoImage(TixPaintProc paint, QWidget* parent);

signals:
    void clicked();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    TixPaintProc paint_;
};

class TixDemoBaseForm : public QMainWindow {
    Q_OBJECT
public:
    explicit TixDemoBaseForm(QWidget* parent = nullptr);

    // The page the logo leads to; empty: the logo opens nothing.
    virtual QString GetSupportAddress() const;

    QWidget* pnlLogo;
    TixLogoImage* imLogoLeft;
    TixLogoImage* imLogoMiggle;
    TixLogoImage* imLogoRight;
    QWidget* pnlMain;

protected:
    void imLogoLeftClick();
};

}  // namespace ix
