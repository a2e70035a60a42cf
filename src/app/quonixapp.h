#pragma once

#include <QString>

#include <memory>

class AccountBalance;
class AppDelegate;
class ChatClient;
class ConversationStore;
class HttpClient;
class ImageService;
class OpenConversations;
class QQmlApplicationEngine;
class QuotaService;
class SettingsStore;
class StatusBar;

// The application's object graph: the stores, the network client and the services shared by
// the whole process, the delegate that owns the shell around the windows, and the QML engine
// with the main window. The program makes one; a test can make one after another over the
// same settings file, which is what a restart looks like.
//
// Each object is registered as the process's instance while the graph lives and unregistered
// when it goes, so a later graph never sees a dead predecessor.
class QuonixApp {
public:
    // `statusBar` must outlive the graph. Pictures go to `documentsFolder`, or to the user's
    // Documents folder when it is empty.
    QuonixApp(const QString &settingsPath, StatusBar *statusBar,
              const QString &documentsFolder = {});
    ~QuonixApp();

    QuonixApp(const QuonixApp &) = delete;
    QuonixApp &operator=(const QuonixApp &) = delete;

    // Loads the main window and the popover and shows the main window; false when the main
    // window could not be loaded. Kept apart from construction so the stores can be prepared first.
    bool launch();

    SettingsStore *settings() const { return m_settings.get(); }
    ConversationStore *conversations() const { return m_conversations.get(); }
    OpenConversations *openConversations() const { return m_open.get(); }
    HttpClient *http() const { return m_http.get(); }
    QuotaService *quota() const { return m_quota.get(); }
    ImageService *images() const { return m_images.get(); }
    ChatClient *chatClient() const { return m_chatClient.get(); }
    AccountBalance *balance() const { return m_balance.get(); }
    AppDelegate *delegate() const { return m_delegate.get(); }
    QQmlApplicationEngine *engine() const { return m_engine.get(); }

private:
    // Declared in the order they are made; destroyed the other way round, views first.
    std::unique_ptr<SettingsStore> m_settings;
    std::unique_ptr<ConversationStore> m_conversations;
    std::unique_ptr<OpenConversations> m_open;
    std::unique_ptr<HttpClient> m_http;
    std::unique_ptr<QuotaService> m_quota;
    std::unique_ptr<ImageService> m_images;
    std::unique_ptr<ChatClient> m_chatClient;
    std::unique_ptr<AccountBalance> m_balance;
    std::unique_ptr<AppDelegate> m_delegate;
    std::unique_ptr<QQmlApplicationEngine> m_engine;
};
