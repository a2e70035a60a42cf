#include "chat/welcomequestions.h"

#include "service/modelcatalogue.h"

QStringList WelcomeQuestions::forModel(const QString &model)
{
    if (ModelCatalogue::isImageModel(model)) {
        return {QStringLiteral("🌆 绘制一个未来城市"), QStringLiteral("🌌 创作一片外星森林"),
                QStringLiteral("🦄 画一只云端独角兽"),
                QStringLiteral("🌠 创作星际旅行者形象")};
    }
    return {QStringLiteral("💼如何缓解工作压力？"), QStringLiteral("⏰如何更好地利用闲暇时间？"),
            QStringLiteral("📚有哪些值得一看的励志书籍？"),
            QStringLiteral("💡有哪些方法可以提高记忆力？")};
}
