#include <QApplication>

#include "shell/marloxapp.h"

int main(int argc, char **argv)
{
    return marlox::MarloxApp::run(argc, argv);
}
