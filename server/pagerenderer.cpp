#include "pagerenderer.h"

namespace {

const char *style = R"css(
:root { --accent: rgb(189, 92, 56); }
* { box-sizing: border-box; }
body { margin: 0; background: #f6f3f1; color: #2b2622;
       font: 16px/1.7 "Noto Sans CJK SC", "PingFang SC", "Microsoft YaHei", sans-serif; }
main { max-width: 720px; margin: 48px auto; padding: 0 20px; }
h1 { font-size: 28px; margin: 0 0 24px; }
h2 { font-size: 19px; margin: 32px 0 12px; }
.card { background: #fff; border-radius: 16px; padding: 20px 24px;
        box-shadow: 0 2px 12px rgba(0, 0, 0, .08); margin-bottom: 20px; }
.row { display: flex; justify-content: space-between; padding: 6px 0; }
.row + .row { border-top: 1px solid #eee; }
.value { font-weight: 600; color: var(--accent); }
table { width: 100%; border-collapse: collapse; }
th, td { text-align: left; padding: 8px 6px; border-bottom: 1px solid #eee; }
th { color: #7a716b; font-weight: 500; }
code { background: #f0ebe7; padding: 2px 6px; border-radius: 6px; }
.muted { color: #7a716b; font-size: 14px; }
)css";

QString row(const QString &label, const QString &value)
{
    return QStringLiteral("<div class=\"row\"><span>%1</span><span class=\"value\">%2</span></div>")
        .arg(label, value.toHtmlEscaped());
}

} // namespace

QByteArray PageRenderer::page(const QString &title, const QString &body)
{
    return QStringLiteral("<!DOCTYPE html>\n<html lang=\"zh-CN\"><head><meta charset=\"utf-8\">"
                          "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
                          "<title>%1 · Talvoro</title><style>%2</style></head>"
                          "<body><main><h1>%1</h1>%3</main></body></html>\n")
        .arg(title.toHtmlEscaped(), QString::fromUtf8(style), body)
        .toUtf8();
}

QByteArray PageRenderer::pricing(const std::optional<Account> &account)
{
    QString body;
    if (account) {
        body += QStringLiteral("<div class=\"card\">") +
                row(QStringLiteral("账号"), account->username + QStringLiteral("（") +
                                                account->phone + QStringLiteral("）")) +
                row(QStringLiteral("订阅"), account->state + QStringLiteral("版")) +
                row(QStringLiteral("积分剩余"), QString::number(account->balance, 'f', 2));
        if (account->state != QString::fromUtf8(AccountStore::freeState))
            body += row(QStringLiteral("会员到期时间"), account->expiry);
        body += QStringLiteral("</div>");
    } else {
        body += QStringLiteral("<div class=\"card\">未找到该账号，请先在 Talvoro 中登录，"
                               "再从账号卡片打开本页。</div>");
    }
    body += QStringLiteral(
        "<h2>计费方式</h2><div class=\"card\"><table>"
        "<tr><th>模型</th><th>提问（每字）</th><th>回答（每字）</th></tr>"
        "<tr><td>GPT-3.5、Claude-3</td><td>0.0007</td><td>0.0021</td></tr>"
        "<tr><td>GPT-4o、Claude-3.5、Gemini-Pro</td><td>0.007</td><td>0.021</td></tr>"
        "<tr><td>DALL·E 图片</td><td colspan=\"2\">每张 100 积分</td></tr>"
        "</table><p class=\"muted\">字数不含空白；提问的字数包括最近的对话内容。</p></div>"
        "<h2>充值</h2><div class=\"card\">本地服务不提供在线支付。服务器管理员可以用命令 "
        "<code>talvoro-server grant 手机号 积分</code> 为账号充值。</div>");
    return page(QStringLiteral("会员与积分"), body);
}

QByteArray PageRenderer::follow()
{
    return page(QStringLiteral("网页扩展"),
                QStringLiteral("<div class=\"card\">Talvoro 网页扩展可以在谷歌浏览器和 Edge "
                               "中对照翻译网页。本地服务暂不提供扩展下载；"
                               "请关注后续版本。</div>"));
}

QByteArray PageRenderer::contact()
{
    return page(QStringLiteral("问题反馈"),
                QStringLiteral("<div class=\"card\">遇到问题时，请记下发生的时间、所用的模型和"
                               "看到的提示，连同服务器标准输出中的日志一起交给服务器管理员。"
                               "</div>"));
}

QByteArray PageRenderer::terms()
{
    return page(
        QStringLiteral("使用条款和隐私政策"),
        QStringLiteral(
            "<h2>使用条款</h2><div class=\"card\">使用 Talvoro 即表示你同意按本页说明的方式"
            "使用服务。请勿利用服务生成违法或侵犯他人权利的内容。模型的回答可能不准确，"
            "重要事项请自行核实。</div>"
            "<h2>我们保存的信息</h2><div class=\"card\">服务器只保存：你的手机号码、"
            "账号编号、积分余额及每次扣减的记录、尚未使用的验证码（仅保存摘要）和生成的图片。"
            "对话内容保存在你自己的电脑上，服务器不保存。</div>"
            "<h2>信息的去向</h2><div class=\"card\">只有在服务器配置了模型提供方时，"
            "你的提问才会转发给该提供方，用于生成回答。我们不会出售或公开你的信息。</div>"));
}

QByteArray PageRenderer::notFound()
{
    return page(QStringLiteral("页面不存在"),
                QStringLiteral("<div class=\"card\">你访问的页面不存在。</div>"));
}
