// The program: the main window on the Qt event loop until it closes.

#include <QApplication>
#include <cstdio>

#include "main.h"

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    QApplication::setApplicationName("imap-client");
    ix::TForm1 form;
    QString error = ix::ApplyCommandLine(form, QApplication::arguments());
    if (!error.isEmpty()) {
        std::fprintf(
            stderr,
            "imap-client: %s\nOptions: --server HOST --port PORT --user NAME --password TEXT "
            "--security none|starttls|tls --ca-file FILE --proxy socks4://HOST:PORT|socks4a://HOST:PORT|"
            "socks5://[USER:PASSWORD@]HOST:PORT\n",
            qPrintable(error));
        return 2;
    }
    form.show();
    return QApplication::exec();
}
