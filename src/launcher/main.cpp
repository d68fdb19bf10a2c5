#include <QCoreApplication>

// Placeholder until the login launcher lands.
int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    return 0;
}
