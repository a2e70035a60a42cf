#pragma once

// The three layouts a chat answer is written in, one per proxy endpoint.
enum class ProxyFamily {
    OpenAI,    // "data: " chunk objects with choices[0].delta.content, ended by "data: [DONE]"
    Anthropic, // "event: " + "data: " message events
    Gemini,    // "data: " + plain text pieces
};
