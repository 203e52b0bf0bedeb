#include "console/console_commands.h"

namespace korva {

void cmd_q(Session& s) {
    s.running = false;
    if (s.input_ended) return;  // nobody is there to press a key
    blink_until_key(s, "\r              TAPEZ UNE TOUCHE POUR FERMER LA FENETRE  ",
                    "\r                                                       ");
}

void cmd_help(Session& s) {
    static const char* const LINES[] = {
        "\n           LISTE DES COMMANDES : ",
        "\n                   bootinfo   : VERSION DU FIMWARE BOOT",
        "\n                   info       : LISTE DES LOGICIELS PRESENTS",
        "\n                   reset      : RESET DU LECTEUR",
        "\n                   efface     : EFFACEMENT D'UN LOGICIEL ",
        "\n                   no         : MISE EN MODE ATTENTE MAINTENANCE ",
        "\n                   cb         : BOOT 4.01 EN MODE CHARGEMENT CB ",
        "\n                   v1         : VITESSE UART KORVA A 9600 BAUDS ",
        "\n                   v2         : VITESSE UART KORVA A 19200 BAUDS ",
        "\n                   the_end    : AFFICHAGE DU MESSAGE DE FIN ",
        "\n                   q          : SORTIE ",
    };
    for (const char* line : LINES) print(s, "%s", line);
    print(s, "\n");
}

void cmd_the_end(Session& s) {
    print(s, "\n                      **********************************");
    print(s, "\n                      *****  OPERATIONS TERMINEES  *****");
    print(s, "\n                      **********************************\n");
}

void cmd_effacetout(Session& s) {
    access_check(s);
    print(s, "\n");
}

}  // namespace korva
