#include <QApplication>

#include "window/form1.h"

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    velmora::Form1 form;
    form.show();
    return app.exec();
}
