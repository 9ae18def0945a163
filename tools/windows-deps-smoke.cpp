// Links every library of the Windows dependency prefix statically and uses
// each once under Wine; tools/windows-deps keeps no prefix this fails on.
// First: it brings winsock2.h, which must come before the others' windows.h.
#include <curl/curl.h>

#include <FL/Fl.H>
#include <archive.h>
#include <archive_entry.h>
#include <json/json.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <sodium.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

static int failures = 0;
static void check(const char* what, bool ok) {
  std::printf("  %-40s %s\n", what, ok ? "ok" : "FAILED");
  failures += !ok;
}

// A tar with one file through FILTER, written and read back in memory.
static bool tar_round_trip(int filter) {
  std::vector<char> buffer(1 << 16);
  size_t used = 0;
  archive* out = archive_write_new();
  archive_write_set_format_ustar(out);
  archive_write_add_filter(out, filter);
  archive_write_open_memory(out, buffer.data(), buffer.size(), &used);
  archive_entry* entry = archive_entry_new();
  archive_entry_set_pathname(entry, "core/hello.txt");
  archive_entry_set_filetype(entry, AE_IFREG);
  archive_entry_set_perm(entry, 0644);
  archive_entry_set_size(entry, 5);
  bool ok = archive_write_header(out, entry) == ARCHIVE_OK && archive_write_data(out, "hello", 5) == 5;
  archive_entry_free(entry);
  ok = archive_write_free(out) == ARCHIVE_OK && ok;
  archive* in = archive_read_new();
  archive_read_support_filter_all(in);
  archive_read_support_format_tar(in);
  char data[8] = {};
  ok = ok && archive_read_open_memory(in, buffer.data(), used) == ARCHIVE_OK &&
       archive_read_next_header(in, &entry) == ARCHIVE_OK &&
       std::strcmp(archive_entry_pathname(entry), "core/hello.txt") == 0 &&
       archive_read_data(in, data, sizeof data) == 5 && std::memcmp(data, "hello", 5) == 0 &&
       archive_filter_code(in, 0) == filter;
  archive_read_free(in);
  return ok;
}

int main() {
  std::printf("  %s\n  %s\n  %s\n  libsodium %s, JsonCpp %s, FLTK %d\n", curl_version(),
              archive_version_details(), OpenSSL_version(OPENSSL_VERSION), sodium_version_string(),
              JSONCPP_VERSION_STRING, Fl::api_version());
  const curl_version_info_data* curl = curl_version_info(CURLVERSION_NOW);
  check("curl with Schannel and zlib", curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK && curl->ssl_version &&
                                           std::strstr(curl->ssl_version, "Schannel") && curl->libz_version);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  const unsigned char abc[] = {'a', 'b', 'c'};
  const unsigned char sha256_abc[] = {0xba, 0x78, 0x16, 0xbf, 0x8f, 0x01, 0xcf, 0xea};  // its first bytes
  check("SHA-256 of \"abc\"", EVP_Digest(abc, 3, digest, &size, EVP_sha256(), nullptr) == 1 && size == 32 &&
                                  std::memcmp(digest, sha256_abc, sizeof sha256_abc) == 0);
  unsigned char pk[crypto_sign_PUBLICKEYBYTES], sk[crypto_sign_SECRETKEYBYTES], signature[crypto_sign_BYTES];
  check("Ed25519 sign and verify", sodium_init() >= 0 && crypto_sign_keypair(pk, sk) == 0 &&
                                       crypto_sign_detached(signature, nullptr, abc, 3, sk) == 0 &&
                                       crypto_sign_verify_detached(signature, abc, 3, pk) == 0);
  Json::Value root;
  const char json[] = R"({"parts": [1, 2, 3]})";
  std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
  check("JSON parse", reader->parse(json, json + sizeof json - 1, &root, nullptr) && root["parts"][2].asInt() == 3);
  check("tar.gz in memory", tar_round_trip(ARCHIVE_FILTER_GZIP));
  check("tar.bz2, tar.xz, tar.zst in memory", tar_round_trip(ARCHIVE_FILTER_BZIP2) &&
                                                  tar_round_trip(ARCHIVE_FILTER_XZ) &&
                                                  tar_round_trip(ARCHIVE_FILTER_ZSTD));
  curl_global_cleanup();
  return failures == 0 ? 0 : 1;
}
