// The library's result codes with their messages in English, Spanish and
// Catalan, as Windows-1252 bytes. One table, so that a code and its three
// messages cannot drift apart. X(code, name, english, spanish, catalan).
#pragma once

#define VX_RESULT_TABLE(X) \
  X(0, OK, "Operation has been successfully completed", "Operaci\xF3n finalizada con \xE9xito", "Operaci\xF3 finalitzada amb \xE8xit") \
  X(-1, E_INVALID_PARAMETER, "Invalid parameter", "Par\xE1metro incorrecto", "Par\xE0metre incorrecte") \
  X(-2, E_INVALID_ID, "Invalid id", "Identificador no v\xE1lido", "Identificador no v\xE0lid") \
  X(-3, E_NOT_CONNECTED, "Not connected", "No se est\xE1 conectado", "No s'est\xE0 connectat") \
  X(-4, E_UNSUPPORTED_MODE, "Unsupported mode", "Modo no soportado", "Mode no suportat") \
  X(-5, E_HOST_NOT_FOUND, "Host not found", "Servidor no encontrado", "Servidor no trobat") \
  X(-6, E_COMMUNICATION_BROKEN, "Communication broken", "Se ha roto la comunicacion", "S'ha trencat la comunicaci\xF3") \
  X(-7, E_UNSUPPORTED_LANGUAGE, "Unsupported language", "Idioma no soportado", "Idioma no suportat") \
  X(-8, E_BUFFER_TOO_SMALL, "Buffer too small", "Buffer demasiado peque\xF1o", "Buffer massa petit") \
  X(-9, E_BUFFER_TOO_BIG, "Buffer too big", "Buffer demasiado grande", "Buffer massa gran") \
  X(-10, E_INVALID_RESPONSE, "Invalid response", "Formato de respuesta err\xF3nea", "El format de la resposta \xE9s erroni") \
  X(-11, E_NOT_ENOUGH_MEMORY, "Not enough memory", "Memoria insuficiente", "Mem\xF2ria insuficient") \
  X(-12, E_CANNOT_FREE, "Cannot free invalid buffer", "No se puede liberar un buffer I/O", "No es pot alliberar un buffer d'entrada/sortida") \
  X(-13, E_FUNCTION_NOT_FOUND, "Function not found", "Funci\xF3n no encontrada", "Funci\xF3 no trobada") \
  X(-14, E_NOT_INSTALLED, "Vexa3D is not installed", "Vexa3D no est\xE1 instalado", "Vexa3D no est\xE0 instal\xB7lat") \
  X(-15, E_INVALID_COMMAND, "Invalid command", "Comando inv\xE1lido", "Comanda inv\xE0lida") \
  X(-16, E_UNKNOWN_PRODUCT, "Unknown product", "Producto desconocido", "Producte desconegut") \
  X(-17, E_CANNOT_CREATE_PROCESS, "Cannot create process", "No se pudo crear el proceso", "No s'ha pogut crear el proc\xE9s") \
  X(-18, E_INVALID_URL, "Invalid URL", "URL incorrecta", "URL incorrecta") \
  X(-19, E_NO_DATA, "No data", "No hay datos", "No n'hi ha dades") \
  X(-20, E_ALREADY_CONNECTED, "Socket already connected", "El socket ya est\xE1 conectado", "El socket ja est\xE0 conectat") \

