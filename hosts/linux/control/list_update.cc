#include "hosts/linux/control/list_update.h"

#include <curl/curl.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <ostream>
#include <system_error>

#include "hosts/linux/control/commands.h"
#include "hosts/linux/control/file_safety.h"

namespace quillnest::linuxhost {
namespace {

constexpr std::size_t kMaxListBytes = 64u << 20;

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::vector<std::string_view> words(std::string_view line) {
  std::vector<std::string_view> out;
  for (std::size_t i = 0; i < line.size();) {
    while (i < line.size() && isSpace(line[i])) ++i;
    std::size_t j = i;
    while (j < line.size() && !isSpace(line[j])) ++j;
    if (j > i) out.push_back(line.substr(i, j - i));
    i = j;
  }
  return out;
}

// An empty string when the whole file was read.
std::string readWholeFile(const std::filesystem::path& path, std::string& text) {
  std::error_code error;
  if (std::filesystem::is_directory(path, error)) return "is a directory";
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::strerror(errno);
  text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  if (in.bad()) return "read error";
  if (text.size() > kMaxListBytes) return "larger than 64 MiB";
  return {};
}

struct Download {
  std::string* text;
  bool tooLarge = false;
};

std::size_t collect(char* data, std::size_t size, std::size_t count, void* user) {
  auto* download = static_cast<Download*>(user);
  const std::size_t bytes = size * count;
  if (download->text->size() + bytes > kMaxListBytes) {
    download->tooLarge = true;
    return 0;  // makes curl stop with CURLE_WRITE_ERROR
  }
  download->text->append(data, bytes);
  return bytes;
}

std::string fetchUrl(const std::string& url, std::string& text) {
  static const CURLcode initialised = curl_global_init(CURL_GLOBAL_DEFAULT);
  if (initialised != CURLE_OK) return curl_easy_strerror(initialised);
  CURL* curl = curl_easy_init();
  if (curl == nullptr) return "libcurl could not start";
  Download download{&text};
  char errorText[CURL_ERROR_SIZE] = "";
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  // A list asked for over https is not taken over plain http because its server redirects
  // there: anyone on the path could change it.
  const bool secure = url.starts_with("https://");
  curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, secure ? "https" : "http,https");
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 5L);
  curl_easy_setopt(curl, CURLOPT_FAILONERROR, 1L);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, 20L);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, 120L);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_ACCEPT_ENCODING, "");
  curl_easy_setopt(curl, CURLOPT_USERAGENT, "quillnest-filter update");
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorText);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &download);
  const CURLcode result = curl_easy_perform(curl);
  std::string refusedRedirect;
  if (const char* last = nullptr;
      result == CURLE_UNSUPPORTED_PROTOCOL && secure &&
      curl_easy_getinfo(curl, CURLINFO_EFFECTIVE_URL, &last) == CURLE_OK && last != nullptr &&
      std::string_view(last).starts_with("http://"))
    refusedRedirect = last;
  curl_easy_cleanup(curl);
  if (!refusedRedirect.empty())
    return "redirected to " + refusedRedirect + ", which is not fetched: a list asked for over " +
           "https does not come over plain http";
  if (download.tooLarge) return "larger than 64 MiB";
  if (result != CURLE_OK) return errorText[0] != '\0' ? errorText : curl_easy_strerror(result);
  return {};
}

}  // namespace

bool isUrl(std::string_view location) {
  return location.starts_with("http://") || location.starts_with("https://");
}

std::optional<std::vector<ListSource>> parseSources(std::string_view text, std::string& error) {
  std::vector<ListSource> sources;
  std::size_t number = 0;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    ++number;
    if (const auto hash = line.find('#'); hash != std::string_view::npos) {
      if (hash == 0 || isSpace(line[hash - 1])) line = line.substr(0, hash);
    }
    const auto parts = words(line);
    if (parts.empty()) continue;
    const auto fail = [&](const std::string& why) {
      error = "line " + std::to_string(number) + ": " + why;
      return std::nullopt;
    };
    if (parts.size() > 2) return fail("expected \"LOCATION [FORMAT]\"");
    ListSource source{std::string(parts[0]), ListFormat::guess, number};
    if (source.location.find("://") != std::string::npos && !isUrl(source.location)) {
      return fail("only http:// and https:// URLs are fetched");
    }
    if (parts.size() == 2) {
      const auto format = listFormatNamed(parts[1]);
      if (!format) {
        return fail("unknown format \"" + std::string(parts[1]) +
                    "\" (guess, hosts, plain, adblock, dnsmasq)");
      }
      source.format = *format;
    }
    sources.push_back(std::move(source));
  }
  return sources;
}

std::filesystem::path cachePath(const std::filesystem::path& cacheDirectory,
                                std::string_view location) {
  std::uint64_t hash = 14695981039346656037ull;  // FNV-1a: stable across builds
  for (const char c : location) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 1099511628211ull;
  }
  char name[32];
  std::snprintf(name, sizeof name, "%016llx.list", static_cast<unsigned long long>(hash));
  return cacheDirectory / name;
}

std::string fetchList(const ListSource& source, std::string& text) {
  text.clear();
  return isUrl(source.location) ? fetchUrl(source.location, text)
                                : readWholeFile(source.location, text);
}

int runUpdate(const UpdateOptions& options, const ListFetcher& fetch, std::ostream& err,
              UpdateOutcome* outcome) {
  UpdateOutcome local;
  UpdateOutcome& result = outcome ? *outcome : local;
  if (auto problem = writableByOthers(options.sources, options.trustedOwner, true)) {
    err << options.sources.string() << " is not used: " << *problem
        << "; the rules file is left as it is\n";
    return 1;
  }
  std::string sourcesText;
  if (auto error = readWholeFile(options.sources, sourcesText); !error.empty()) {
    err << options.sources.string() << ": " << error << "\n";
    return 1;
  }
  std::string error;
  const auto sources = parseSources(sourcesText, error);
  if (!sources) {
    err << options.sources.string() << ": " << error << "\n";
    return 1;
  }
  if (sources->empty()) {
    err << options.sources.string() << ": no sources; the rules file is left as it is\n";
    return 1;
  }
  std::error_code directoryError;
  std::filesystem::create_directories(options.cache, directoryError);
  if (directoryError) {
    err << options.cache.string() << ": " << directoryError.message() << "\n";
    return 1;
  }

  BlocklistImporter importer;
  bool missing = false;  // a source with neither a fresh nor a last good copy
  for (const ListSource& source : *sources) {
    const std::filesystem::path cached = cachePath(options.cache, source.location);
    std::string text;
    std::string why;
    if (!isUrl(source.location)) {
      why = writableByOthers(source.location, options.trustedOwner, true).value_or("");
    }
    if (why.empty()) why = fetch(source, text);
    if (why.empty() && !importer.addList(text, source.format))
      why = "no host names in it (an error page?)";
    if (why.empty()) {
      try {
        writeFileAtomically(cached, text);
      } catch (const std::system_error& e) {
        err << "warning: cannot keep a copy of " << source.location << ": " << e.what() << "\n";
      }
      continue;
    }
    result.failed.push_back(source.location + ": " + why);
    std::string last;
    const auto unsafe = writableByOthers(cached, options.trustedOwner, true);
    if (unsafe && std::filesystem::exists(cached)) {
      err << source.location << " failed (" << why
          << "); its last good copy is not used: " << *unsafe << "\n";
      missing = true;
    } else if (readWholeFile(cached, last).empty()) {
      err << source.location << " failed (" << why << "); using its last good copy\n";
      importer.add(last, source.format);
    } else {
      err << source.location << " failed (" << why << ") and was never read before\n";
      missing = true;
    }
  }
  if (missing) {
    err << "the rules file is left as it is: without that list it would shrink\n";
    return 1;
  }

  result.imported = std::move(importer).finish();
  const std::string rules = rulesFileText(result.imported->domains());
  std::string current;
  if (readWholeFile(options.rules, current).empty() && current == rules) {
    result.unchanged = true;
    err << options.rules.string() << " is up to date (" << result.imported->domains().size()
        << " domains)\n";
  } else {
    try {
      writeFileAtomically(options.rules, rules);
    } catch (const std::system_error& e) {
      err << e.what() << "\n";
      return 1;
    }
    result.written = true;
    reportImport(*result.imported, err);
    err << "wrote " << options.rules.string() << "\n";
  }
  if (!result.failed.empty()) {
    err << result.failed.size() << " of " << sources->size() << " sources failed:\n";
    for (const auto& failure : result.failed) err << "  " << failure << "\n";
    return 1;
  }
  return 0;
}

}  // namespace quillnest::linuxhost
