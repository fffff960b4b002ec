#include "SaltmarkApp.h"

int main(int argc, char** argv)
{
    CSaltmarkApp app(argc, argv);
    return app.InitInstance() ? QApplication::exec() : 0;
}
