#pragma once

#include <QLatin1String>

// The identifiers of the six models, in the order the model picker lists them. They are what the
// server is told and what the settings keep, so they match exactly, case included.
namespace ModelIds {
inline constexpr QLatin1String gpt35Turbo{"gpt-3.5-turbo-0125"};
inline constexpr QLatin1String claude3Haiku{"claude-3-haiku-20240307"};
inline constexpr QLatin1String gpt4o{"gpt-4o"};
inline constexpr QLatin1String claude35Sonnet{"claude-3-5-sonnet-20240620"};
inline constexpr QLatin1String gemini15Pro{"gemini-1.5-pro"};
inline constexpr QLatin1String dallE3{"dall-e-3"};
} // namespace ModelIds
