// The yardstick for Talvoro's start: a bare Qt Quick window with a list of 20 rows, nothing
// else. bench_startup times it and Talvoro side by side.
#include <QGuiApplication>
#include <QQmlApplicationEngine>

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    QQmlApplicationEngine engine;
    engine.loadData(R"(
        import QtQuick
        Window {
            visible: true
            width: 1000
            height: 800
            title: "Bare Window"
            ListView {
                anchors.fill: parent
                model: 20
                delegate: Text {
                    required property int index
                    height: 40
                    text: "第 " + index + " 行：一条消息"
                }
            }
        }
    )");
    return engine.rootObjects().isEmpty() ? 1 : QGuiApplication::exec();
}
