// Result codes and their messages in the three languages.
#include <climits>
#include <cstring>

#include "host_fixture.h"

namespace vxtest {
namespace {

using MessagesFromTheViewer = HostTest;

// The expected messages, in the Windows-1252 bytes the library hands out.
struct Row { int32_t code; const char *eng, *spa, *cat; };

const Row kRows[] = {
    {0, "Operation has been successfully completed", "Operaci\xF3n finalizada con \xE9xito", "Operaci\xF3 finalitzada amb \xE8xit"},
    {-1, "Invalid parameter", "Par\xE1metro incorrecto", "Par\xE0metre incorrecte"},
    {-2, "Invalid id", "Identificador no v\xE1lido", "Identificador no v\xE0lid"},
    {-3, "Not connected", "No se est\xE1 conectado", "No s'est\xE0 connectat"},
    {-4, "Unsupported mode", "Modo no soportado", "Mode no suportat"},
    {-5, "Host not found", "Servidor no encontrado", "Servidor no trobat"},
    {-6, "Communication broken", "Se ha roto la comunicacion", "S'ha trencat la comunicaci\xF3"},
    {-7, "Unsupported language", "Idioma no soportado", "Idioma no suportat"},
    {-8, "Buffer too small", "Buffer demasiado peque\xF1o", "Buffer massa petit"},
    {-9, "Buffer too big", "Buffer demasiado grande", "Buffer massa gran"},
    {-10, "Invalid response", "Formato de respuesta err\xF3nea", "El format de la resposta \xE9s erroni"},
    {-11, "Not enough memory", "Memoria insuficiente", "Mem\xF2ria insuficient"},
    {-12, "Cannot free invalid buffer", "No se puede liberar un buffer I/O", "No es pot alliberar un buffer d'entrada/sortida"},
    {-13, "Function not found", "Funci\xF3n no encontrada", "Funci\xF3 no trobada"},
    {-14, "Vexa3D is not installed", "Vexa3D no est\xE1 instalado", "Vexa3D no est\xE0 instal\xB7lat"},
    {-15, "Invalid command", "Comando inv\xE1lido", "Comanda inv\xE0lida"},
    {-16, "Unknown product", "Producto desconocido", "Producte desconegut"},
    {-17, "Cannot create process", "No se pudo crear el proceso", "No s'ha pogut crear el proc\xE9s"},
    {-18, "Invalid URL", "URL incorrecta", "URL incorrecta"},
    {-19, "No data", "No hay datos", "No n'hi ha dades"},
    {-20, "Socket already connected", "El socket ya est\xE1 conectado", "El socket ja est\xE0 conectat"},
};

std::string Message(const char* language, int32_t code, int32_t* rc = nullptr) {
  char* text = nullptr;
  const int32_t r = VxGetErrorStringA(language, code, &text);
  if (rc != nullptr) *rc = r;
  std::string s = text == nullptr ? "<null>" : text;
  VxFreeA(text);
  return s;
}

TEST(Messages, EveryCodeInEveryLanguageByteForByte) {
  for (const Row& row : kRows) {
    int32_t rc = 1;
    EXPECT_EQ(Message("eng", row.code, &rc), row.eng) << row.code;
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(Message("spa", row.code), row.spa) << row.code;
    EXPECT_EQ(Message("cat", row.code), row.cat) << row.code;
  }
  // Unknown languages fall back to English.
  for (const char* language : {"ENG", "xyz", "", "e", "Spa", static_cast<const char*>(nullptr)}) {
    EXPECT_EQ(Message(language, -5), "Host not found") << (language ? language : "null");
  }
  EXPECT_EQ(Message("catalan", -5), "Servidor no trobat");  // the first three letters count
  // Copied into the caller's buffer.
  char buffer[20];
  std::memset(buffer, 'x', sizeof buffer);
  for (const int32_t capacity : {10, 19}) {  // cut without a terminator, or whole and zero-padded
    int32_t size = capacity;
    EXPECT_EQ(VxGetErrorMessageA("eng", -11, buffer, &size), 0);
    EXPECT_EQ(size, capacity == 10 ? 10 : 17);
    EXPECT_EQ(std::string(buffer, 20), capacity == 10 ? "Not enoughxxxxxxxxxx" : Bytes("Not enough memory\0\0x"));
  }
  // A size of 0 gives the lookup's result and copies nothing; a negative
  // one or none is refused.
  int32_t size = 0;
  EXPECT_EQ(VxGetErrorMessageA("eng", -11, buffer, &size), 0);
  EXPECT_EQ(VxGetErrorMessageA("eng", -11, nullptr, &size), 0);
  EXPECT_EQ(size, 0);
  size = -1;
  EXPECT_EQ(VxGetErrorMessageA("eng", -11, buffer, &size), VX_E_INVALID_PARAMETER);
  EXPECT_EQ(VxGetErrorMessageA("eng", -11, buffer, nullptr), VX_E_INVALID_PARAMETER);
  // Codes below -20 are invalid and leave the outputs alone.
  for (int32_t code : {-21, -100, INT_MIN}) {
    char* text = buffer;
    EXPECT_EQ(VxGetErrorStringA("eng", code, &text), VX_E_INVALID_PARAMETER);
    EXPECT_EQ(text, buffer);
    size = 8;
    EXPECT_EQ(VxGetErrorMessageA("eng", code, buffer, &size), VX_E_INVALID_PARAMETER);
    EXPECT_EQ(size, 8);
    EXPECT_EQ(std::string(buffer, 20), Bytes("Not enough memory\0\0x"));
  }
}

// Codes above 0 are the viewer's: asked of it, and its answer is the latest
// response.
TEST_F(MessagesFromTheViewer, AreAskedOfTheViewer) {
  char* text = nullptr;
  EXPECT_EQ(VxGetErrorStringA("eng", 26, &text), VX_E_NOT_CONNECTED);
  EXPECT_EQ(text, nullptr);
  ASSERT_EQ(Connect(), 0);  // the viewer answers "ok:" and the message
  EXPECT_EQ(Message("eng", 26), "ok:EXE GetErrorString('eng',1a)\n");
  EXPECT_EQ(Message("spa", 26), "ok:EXE GetErrorString('spa',1a)\n");
  EXPECT_EQ(Message("xyz", 255), "ok:EXE GetErrorString('eng',ff)\n");
  char buffer[6];
  int32_t size = 6;
  EXPECT_EQ(VxGetErrorMessageA("cat", 26, buffer, &size), 0);
  EXPECT_EQ(std::string(buffer, 6), "ok:EXE");
  EXPECT_EQ(LastResponseText(), "ok:EXE GetErrorString('cat',1a)\n");
  // An empty answer gives an empty text; a refusal the viewer's code and no text.
  peer.SetResponder([](const std::string&) { return RetFrame(0, ""); });
  int32_t rc = 1;
  EXPECT_EQ(Message("cat", 26, &rc), "");
  EXPECT_EQ(rc, 0);
  peer.SetResponder([](const std::string&) { return RetFrame(31, "no"); });
  EXPECT_EQ(VxGetErrorStringA("eng", 26, &text), 31);
  EXPECT_EQ(text, nullptr);
}

}  // namespace
}  // namespace vxtest
