// The texts the update sequencer shows in its boxes and on the update button.
#include "app/update_sequencer.h"

const char SEQ_TEXT_NO_PART[] = "No se puede encontrar un elemento constitutivo.";
const char SEQ_TEXT_RESTART[] = "Reinicie el ordenador.";
const char SEQ_TEXT_DAMAGED[] =
    "El archivo de la actualizacion esta danado. Descarguelo de nuevo y vuelva a intentarlo.";
const char SEQ_TEXT_DISK_FULL[] =
    "No queda espacio en el disco para descomprimir la actualizacion. Libere espacio en el disco y vuelva "
    "a intentarlo.";
const char SEQ_TEXT_ACCESS_DENIED[] =
    "No se puede escribir en la carpeta temporal (TEMP). Compruebe que tiene permiso para escribir en ella "
    "o elija otra carpeta temporal.";
const char SEQ_TEXT_ANSI_PATH[] =
    "La ruta de la carpeta temporal (TEMP) tiene caracteres que el programa no puede usar. Elija una carpeta "
    "temporal de ruta sencilla, por ejemplo C:\\Temp, y vuelva a abrir el programa.";
const char SEQ_TEXT_CANNOT_RUN[] = "No se puede ejecutar el programa.";
const char SEQ_TEXT_BUSY[] = "Ahora Actualice....";
const char SEQ_TEXT_UPDATING[] = "Ahora Actualice...";
const char SEQ_TEXT_DONE[] = "Actualizacion Terminada. ";
const char SEQ_CAPTION_DONE[] =
    "\xA2\xAE"
    "Exito";
const char SEQ_TEXT_BUTTON_DONE[] =
    "\xA2\xAE"
    "Exito!!";
const char SEQ_TEXT_BUTTON_FAILED[] = "Recomprobacion de Actualizacion";
const char SEQ_TEXT_FAILED[] = "existe Puerto de Serie Virtual. \r\n No se puede Abrir el Puerto de Serie.";
const char SEQ_TEXT_NO_PORTS[] =
    "No se encuentra ningun Puerto de Serie. Conecte el receptor y vuelva a abrir el programa.";
const char SEQ_TEXT_NO_PORT_ROW[] = "Seleccione un Puerto COM de la lista.";
const char SEQ_TEXT_NO_SPEED_ROW[] = "Seleccione una Velocidad de Conexion de la lista.";
const char SEQ_TEXT_STALLED[] =
    "El receptor no responde desde hace un minuto. Compruebe la conexion e intentelo otra vez.";
const char SEQ_TEXT_ASK_LEAVE[] =
    "El receptor no responde desde hace un minuto. Si sale ahora, el receptor puede quedar sin "
    "firmware. Desea salir de todos modos?";
const char SEQ_CAPTION_ERROR[] = "Error";
const char SEQ_CAPTION_WARNING[] = "Advertencia";
