#include "app/quonixapp.h"

#include "account/accountbalance.h"
#include "app/appdelegate.h"
#include "chat/openconversations.h"
#include "conversation/conversationstore.h"
#include "core/httpclient.h"
#include "core/settingsstore.h"
#include "service/chatclient.h"
#include "service/imageservice.h"
#include "service/quotaservice.h"

#include <QQmlApplicationEngine>
#include <QQuickWindow>

namespace {

template <typename T> void unregister(T *object)
{
    if (object && T::instance() == object)
        T::setInstance(nullptr);
}

} // namespace

QuonixApp::QuonixApp(const QString &settingsPath, StatusBar *statusBar,
                     const QString &documentsFolder)
    : m_settings(std::make_unique<SettingsStore>(settingsPath)),
      m_conversations(std::make_unique<ConversationStore>(m_settings.get())),
      m_open(std::make_unique<OpenConversations>(m_conversations.get())),
      m_http(std::make_unique<HttpClient>()),
      m_quota(std::make_unique<QuotaService>(m_settings.get(), m_http.get())),
      m_images(std::make_unique<ImageService>(m_http.get())),
      m_chatClient(std::make_unique<ChatClient>(m_http.get(), m_quota.get(), m_images.get())),
      m_balance(
          std::make_unique<AccountBalance>(m_settings.get(), m_http.get(), m_conversations.get())),
      m_delegate(std::make_unique<AppDelegate>(m_settings.get(), statusBar))
{
    if (!documentsFolder.isEmpty())
        m_images->setDocumentsFolder(documentsFolder);
    // The views find the shared objects through these when QML creates them.
    SettingsStore::setInstance(m_settings.get());
    ConversationStore::setInstance(m_conversations.get());
    OpenConversations::setInstance(m_open.get());
    HttpClient::setInstance(m_http.get());
    QuotaService::setInstance(m_quota.get());
    ImageService::setInstance(m_images.get());
    ChatClient::setInstance(m_chatClient.get());
    AccountBalance::setInstance(m_balance.get());
    AppDelegate::setInstance(m_delegate.get());
}

QuonixApp::~QuonixApp()
{
    // The views go first, while everything they use still exists: the popover (made by the
    // delegate from the engine) before the engine, the engine's windows before the services.
    if (QQuickWindow *popover = m_delegate->popover())
        delete popover;
    m_engine.reset();

    unregister(m_delegate.get());
    m_delegate.reset();
    unregister(m_balance.get());
    m_balance.reset();
    unregister(m_chatClient.get());
    m_chatClient.reset();
    unregister(m_images.get());
    m_images.reset();
    unregister(m_quota.get());
    m_quota.reset();
    unregister(m_http.get());
    m_http.reset();
    unregister(m_open.get());
    m_open.reset();
    unregister(m_conversations.get());
    m_conversations.reset();
    unregister(m_settings.get());
    m_settings.reset();
}

bool QuonixApp::launch()
{
    m_engine = std::make_unique<QQmlApplicationEngine>();
    // Where the module's own QML files are; Qt 6.4 does not look there by itself.
    m_engine->addImportPath(QStringLiteral("qrc:/qt/qml"));
    m_engine->load(QUrl(QStringLiteral("qrc:/qt/qml/Talvoro/app/Main.qml")));
    if (m_engine->rootObjects().isEmpty())
        return false;
    m_delegate->applicationDidFinishLaunching(m_engine.get());
    QQuickWindow *window = m_delegate->mainWindow();
    if (window)
        window->show();
    // What an upgrade left unindexed is indexed behind the window, not before it.
    m_conversations->completeSearchIndex();
    return window != nullptr;
}
