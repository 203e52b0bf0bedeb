// The console texts of start-up and of the simple commands, as the whole-
// session tests expect them byte for byte.
#pragma once

#include <string>

namespace korva::testing {

inline const std::string BANNER =
    "\n          *****************************************************"
    "\n          **********    UTILITAIRE DE MAINTENANCE    **********"
    "\n          **********   V1.09  MAJ  ORBEX 1.12      **********"
    "\n          **********          LECTEUR KORVA          **********"
    "\n          *****************************************************\n\n";
inline const std::string PORT_PROMPT =
    "\r SUR QUEL PORT COM EST CONNECTE VOTRE LECTEUR ( de 1 a 9 ) : ";
inline const std::string POWER_OFF_QUESTION =
    "\r" + std::string(65, ' ') + "\r\x07" +
    "\n\n ETAPE 1 : ETEIGNEZ VOTRE LECTEUR KORVA... Continuer ? ( O / N ): ";
inline const std::string UNKNOWN_PORT = "\nTRES DROLE !!!  PORT INCONNU !\n";
inline const std::string PORT_ERROR = "\n ERREUR PORT SERIE : RELANCER LE PROGRAMME \n";
inline const std::string BATCH_MODE =
    "\r           FICHIER BATCH PRESENT : MODE AUTO                          ";
inline const std::string FILE_MODE =
    "\r           LISTE.DVO PRESENT : MODE AUTO                          ";
inline const std::string STARTUP_BLANK = "\r" + std::string(75, ' ');
inline const std::string COMMAND_PROMPT = "\n COMMANDE> ";
inline const std::string UNKNOWN_COMMAND = "\n COMMANDE> COMMANDE INCONNUE ! \n";
inline const std::string HELP_TEXT =
    "\n           LISTE DES COMMANDES : "
    "\n                   bootinfo   : VERSION DU FIMWARE BOOT"
    "\n                   info       : LISTE DES LOGICIELS PRESENTS"
    "\n                   reset      : RESET DU LECTEUR"
    "\n                   efface     : EFFACEMENT D'UN LOGICIEL "
    "\n                   no         : MISE EN MODE ATTENTE MAINTENANCE "
    "\n                   cb         : BOOT 4.01 EN MODE CHARGEMENT CB "
    "\n                   v1         : VITESSE UART KORVA A 9600 BAUDS "
    "\n                   v2         : VITESSE UART KORVA A 19200 BAUDS "
    "\n                   the_end    : AFFICHAGE DU MESSAGE DE FIN "
    "\n                   q          : SORTIE "
    "\n";
inline const std::string THE_END_TEXT =
    "\n                      **********************************"
    "\n                      *****  OPERATIONS TERMINEES  *****"
    "\n                      **********************************\n";
inline const std::string QUIT_MESSAGE = "\r              TAPEZ UNE TOUCHE POUR FERMER LA FENETRE  ";
inline const std::string QUIT_BLANK = "\r" + std::string(55, ' ');
inline const std::string ACCESS_REFUSED = "\r           ENTRER VOTRE CODE D'ACCES : ACCES REFUSE";
// What the boot probe prints when the line stays silent, as it does in these
// tests; it is the probe's dialogue, not the session's.
inline const std::string PROBE_FAILED = "\n REPONSE > Echec Commande ";

// The output after start-up (after its blanking line), without the boot
// probe's line.
inline std::string after_startup(const std::string& output) {
    const std::size_t at = output.find(STARTUP_BLANK);
    if (at == std::string::npos) return "<start-up did not end>";
    std::string rest = output.substr(at + STARTUP_BLANK.size());
    if (const std::size_t probe = rest.find(PROBE_FAILED); probe != std::string::npos) {
        rest.erase(probe, PROBE_FAILED.size());
    }
    return rest;
}

}  // namespace korva::testing
