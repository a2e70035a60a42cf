#pragma once

#include "proxyfamily.h"

#include <QString>

// One model provider: where to reach it and with which key. `model`, when set, replaces the
// model name the client asked for (the client's names are fixed at its build time, providers
// retire names).
struct ProviderEndpoint {
    QString apiKey;
    QString baseUrl;
    QString model;
    bool configured = false;
};

// Which providers the server forwards to, read from the environment:
//   TALVORO_OPENAI_API_KEY, TALVORO_OPENAI_BASE_URL, TALVORO_OPENAI_MODEL
//   TALVORO_ANTHROPIC_API_KEY, TALVORO_ANTHROPIC_BASE_URL, TALVORO_ANTHROPIC_MODEL
//   TALVORO_GEMINI_API_KEY, TALVORO_GEMINI_BASE_URL, TALVORO_GEMINI_MODEL
//   TALVORO_IMAGE_API_KEY, TALVORO_IMAGE_BASE_URL, TALVORO_IMAGE_MODEL (OpenAI-compatible
//   images API; falls back to the OpenAI key and address when only those are set)
// A provider counts as configured when its key or its address is set; without one the built-in
// demo responder or picture generator answers.
struct ProviderConfig {
    ProviderEndpoint openAI;
    ProviderEndpoint anthropic;
    ProviderEndpoint gemini;
    ProviderEndpoint image;
    // The client gives up after 60 s without data, and a provider that is silent for 30 s is
    // most likely stuck; 55 s in all bounds what one question can cost.
    int idleTimeoutMs = 30000;
    int totalTimeoutMs = 55000;

    static ProviderConfig fromEnvironment();
    const ProviderEndpoint &forFamily(ProxyFamily family) const;
};
