<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="fr" sourcelanguage="en">
<context>
    <name>CleftoneAppDelegate</name>
    <message>
        <source>Failed To Strip %1 of %2 Files.</source>
        <extracomment>Run summary, shown when some files could not be stripped. %1 is the number of files that failed, %2 the number of files in the run.</extracomment>
        <translation>Échec de la suppression des métadonnées pour %1 des %2 fichiers.</translation>
    </message>
    <message>
        <source>OK</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>Show Report</source>
        <translation>Afficher le rapport</translation>
    </message>
    <message>
        <source>Stripped 1 file, %1 of metadata removed.</source>
        <extracomment>Status line after a run. %1 is a size, such as &quot;3.4 MB&quot;.</extracomment>
        <translation>1 fichier nettoyé, %1 de métadonnées supprimées.</translation>
    </message>
    <message>
        <source>Stripped %1 files, %2 of metadata removed.</source>
        <extracomment>Status line after a run. %1 is the number of files, %2 a size, such as &quot;3.4 MB&quot;.</extracomment>
        <translation>%1 fichiers nettoyés, %2 de métadonnées supprimées.</translation>
    </message>
    <message>
        <source>No metadata to remove; %1 already clean.</source>
        <extracomment>Status line after a run that left every file alone: none carried metadata. %1 is the number of files.</extracomment>
        <translation>Aucune métadonnée à supprimer ; %1 déjà propres.</translation>
    </message>
    <message>
        <source>Stripped 1 file, %1 of metadata removed; %2 already clean.</source>
        <extracomment>Status line after a run. %1 is a size, such as &quot;3.4 MB&quot;; %2 the number of files that carried no metadata and were left as they were.</extracomment>
        <translation>%1 de métadonnées supprimées dans 1 fichier ; %2 déjà propres.</translation>
    </message>
    <message>
        <source>Stripped %1 files, %2 of metadata removed; %3 already clean.</source>
        <extracomment>Status line after a run. %1 is the number of files, %2 a size, such as &quot;3.4 MB&quot;; %3 the number of files that carried no metadata and were left as they were.</extracomment>
        <translation>%2 de métadonnées supprimées dans %1 fichiers ; %3 déjà propres.</translation>
    </message>
</context>
<context>
    <name>OperationsArrayController</name>
    <message>
        <source>Checking…</source>
        <extracomment>The metadata column of a file not inspected yet.</extracomment>
        <translation>Vérification…</translation>
    </message>
    <message>
        <source>Cannot read</source>
        <extracomment>The metadata column of a file that is not readable as audio.</extracomment>
        <translation>Illisible</translation>
    </message>
    <message>
        <source>1 tag</source>
        <translation>1 balise</translation>
    </message>
    <message>
        <source>%1 tags</source>
        <translation>%1 balises</translation>
    </message>
    <message>
        <source>cover %1</source>
        <extracomment>The size of the file&apos;s cover art, such as &quot;412 kB&quot;.</extracomment>
        <translation>pochette %1</translation>
    </message>
    <message>
        <source>%1 covers %2</source>
        <extracomment>%1 pictures of %2 bytes together, such as &quot;3 covers 1.2 MB&quot;.</extracomment>
        <translation>%1 pochettes %2</translation>
    </message>
    <message>
        <source>1 chapter</source>
        <translation>1 chapitre</translation>
    </message>
    <message>
        <source>%1 chapters</source>
        <translation>%1 chapitres</translation>
    </message>
    <message>
        <source>%1 of other metadata</source>
        <extracomment>Metadata other than tags, covers and chapters, such as extra chunks; %1 a size.</extracomment>
        <translation>%1 d’autres métadonnées</translation>
    </message>
    <message>
        <source>No metadata</source>
        <translation>Aucune métadonnée</translation>
    </message>
    <message>
        <source>Metadata</source>
        <extracomment>The title of the list&apos;s second column, what each file carries.</extracomment>
        <translation>Métadonnées</translation>
    </message>
    <message>
        <source>1 item kept</source>
        <extracomment>Metadata stored inside the audio stream, which a strip cannot remove without changing the audio.</extracomment>
        <translation>1 élément conservé</translation>
    </message>
    <message>
        <source>%1 items kept</source>
        <translation>%1 éléments conservés</translation>
    </message>
</context>
<context>
    <name>cleftone::FileTable</name>
    <message>
        <source>Files to strip</source>
        <translation>Fichiers à nettoyer</translation>
    </message>
    <message>
        <source>The files a strip run works on, with the metadata each carries. Press Space to show the metadata of the current file.</source>
        <translation>Les fichiers que le nettoyage traitera, avec les métadonnées de chacun. La barre d’espace affiche les métadonnées du fichier courant.</translation>
    </message>
    <message>
        <source>What a run would do</source>
        <translation>Ce que ferait le nettoyage</translation>
    </message>
    <message>
        <source>&amp;Sort By</source>
        <translation>&amp;Trier par</translation>
    </message>
    <message>
        <source>&amp;Order Added</source>
        <translation>&amp;Ordre d’ajout</translation>
    </message>
    <message>
        <source>&amp;Name</source>
        <translation>&amp;Nom</translation>
    </message>
    <message>
        <source>&amp;Folder</source>
        <translation>&amp;Dossier</translation>
    </message>
    <message>
        <source>&amp;Metadata Size</source>
        <translation>&amp;Taille des métadonnées</translation>
    </message>
    <message>
        <source>1 file, %1 of metadata found so far</source>
        <extracomment>Status line while the files&apos; metadata is still being read; %1 a size.</extracomment>
        <translation>1 fichier, %1 de métadonnées trouvées jusqu’ici</translation>
    </message>
    <message>
        <source>%1 files, %2 of metadata found so far</source>
        <extracomment>Status line while the files&apos; metadata is still being read; %1 the number of files, %2 a size.</extracomment>
        <translation>%1 fichiers, %2 de métadonnées trouvées jusqu’ici</translation>
    </message>
    <message>
        <source>1 file, no metadata to remove</source>
        <translation>1 fichier, aucune métadonnée à supprimer</translation>
    </message>
    <message>
        <source>%1 files, no metadata to remove</source>
        <translation>%1 fichiers, aucune métadonnée à supprimer</translation>
    </message>
    <message>
        <source>1 file, %1 of metadata to remove</source>
        <extracomment>Status line before a run; %1 a size, such as &quot;3.4 MB&quot;.</extracomment>
        <translation>1 fichier, %1 de métadonnées à supprimer</translation>
    </message>
    <message>
        <source>%1 files, %2 of metadata to remove</source>
        <extracomment>Status line before a run; %1 the number of files, %2 a size, such as &quot;3.4 MB&quot;.</extracomment>
        <translation>%1 fichiers, %2 de métadonnées à supprimer</translation>
    </message>
</context>
<context>
    <name>cleftone::LeftOutReport</name>
    <message>
        <source>Show Files…</source>
        <translation>Afficher les fichiers…</translation>
    </message>
    <message>
        <source>Lists the files that were left out, with their kind</source>
        <translation>Liste les fichiers laissés de côté, avec leur type</translation>
    </message>
    <message>
        <source>Left out 1 audio file that Cleftone cannot strip.</source>
        <translation>1 fichier audio que Cleftone ne peut pas nettoyer a été laissé de côté.</translation>
    </message>
    <message>
        <source>Left out %1 audio files that Cleftone cannot strip.</source>
        <translation>%1 fichiers audio que Cleftone ne peut pas nettoyer ont été laissés de côté.</translation>
    </message>
    <message>
        <source>Files Left Out</source>
        <translation>Fichiers laissés de côté</translation>
    </message>
    <message>
        <source>These files were not added: they hold audio or video in a format that Cleftone cannot strip.</source>
        <translation>Ces fichiers n’ont pas été ajoutés : ils contiennent de l’audio ou de la vidéo dans un format que Cleftone ne peut pas nettoyer.</translation>
    </message>
    <message>
        <source>Files left out</source>
        <translation>Fichiers laissés de côté</translation>
    </message>
    <message>
        <source>File</source>
        <translation>Fichier</translation>
    </message>
    <message>
        <source>Reason</source>
        <translation>Raison</translation>
    </message>
    <message>
        <source>Cleftone cannot strip this format</source>
        <extracomment>Why a file was left out: %1 is what it holds, such as &quot;MIDI audio&quot;.</extracomment>
        <translation>Cleftone ne peut pas nettoyer ce format</translation>
    </message>
    <message>
        <source>%1: Cleftone cannot strip this format</source>
        <translation>%1 : Cleftone ne peut pas nettoyer ce format</translation>
    </message>
</context>
<context>
    <name>cleftone::MetadataInspector</name>
    <message>
        <source>Metadata</source>
        <translation>Métadonnées</translation>
    </message>
    <message>
        <source>Metadata inspector</source>
        <translation>Inspecteur de métadonnées</translation>
    </message>
    <message>
        <source>Cover art</source>
        <translation>Pochette</translation>
    </message>
    <message>
        <source>About the cover art</source>
        <translation>À propos de la pochette</translation>
    </message>
    <message>
        <source>Item</source>
        <translation>Élément</translation>
    </message>
    <message>
        <source>Value</source>
        <translation>Valeur</translation>
    </message>
    <message>
        <source>Metadata of the file</source>
        <translation>Métadonnées du fichier</translation>
    </message>
    <message>
        <source>Metadata in all</source>
        <translation>Métadonnées au total</translation>
    </message>
    <message>
        <source>Show &amp;Metadata</source>
        <extracomment>View menu item; Space on the list does the same.</extracomment>
        <translation>Afficher les &amp;métadonnées</translation>
    </message>
    <message>
        <source>No File Selected</source>
        <translation>Aucun fichier sélectionné</translation>
    </message>
    <message>
        <source>Select a file in the list to see its metadata.</source>
        <translation>Sélectionnez un fichier dans la liste pour voir ses métadonnées.</translation>
    </message>
    <message>
        <source>Reading…</source>
        <translation>Lecture…</translation>
    </message>
    <message>
        <source>This file cannot be read as audio.</source>
        <translation>Ce fichier ne peut pas être lu comme de l’audio.</translation>
    </message>
    <message>
        <source>%1 file, %2 audio</source>
        <extracomment>Under the file&apos;s name: its container and the codec of its audio, such as &quot;MP3 file, mp3 audio&quot;.</extracomment>
        <translation>Fichier %1, audio %2</translation>
    </message>
    <message>
        <source>No metadata</source>
        <translation>Aucune métadonnée</translation>
    </message>
    <message>
        <source>Tags</source>
        <translation>Balises</translation>
    </message>
    <message>
        <source>Cover Art</source>
        <translation>Pochette</translation>
    </message>
    <message>
        <source>%1 image, %2, %3 × %4 pixels</source>
        <extracomment>A picture in the file: %1 its format (&quot;JPEG&quot;), %2 its size, %3 and %4 its width and height in pixels.</extracomment>
        <translation>Image %1, %2, %3 × %4 pixels</translation>
    </message>
    <message>
        <source>Chapters</source>
        <translation>Chapitres</translation>
    </message>
    <message>
        <source>Other Metadata</source>
        <translation>Autres métadonnées</translation>
    </message>
    <message>
        <source>Chunk “%1”</source>
        <translation>Chunk « %1 »</translation>
    </message>
    <message>
        <source>Box %1</source>
        <translation>Boîte %1</translation>
    </message>
    <message>
        <source>FLAC block %1</source>
        <translation>Bloc FLAC %1</translation>
    </message>
    <message>
        <source>%1 in front</source>
        <translation>%1 au début</translation>
    </message>
    <message>
        <source>%1 at the end</source>
        <translation>%1 à la fin</translation>
    </message>
    <message>
        <source>Annotation</source>
        <translation>Annotation</translation>
    </message>
    <message>
        <source>Other stream: %1</source>
        <translation>Autre flux : %1</translation>
    </message>
    <message>
        <source>size unknown</source>
        <translation>taille inconnue</translation>
    </message>
    <message>
        <source>Metadata in all: %1</source>
        <extracomment>Under the inspector&apos;s list: the bytes a strip removes from the file, such as &quot;412 kB&quot;.</extracomment>
        <translation>Métadonnées au total : %1</translation>
    </message>
    <message>
        <source>Element %1</source>
        <translation>Élément %1</translation>
    </message>
    <message>
        <source>Object %1</source>
        <translation>Objet %1</translation>
    </message>
    <message>
        <source>Other bytes at the end</source>
        <translation>Autres octets à la fin</translation>
    </message>
    <message>
        <source>Comment header: %1</source>
        <translation>En-tête de commentaires : %1</translation>
    </message>
    <message>
        <source>Data after the comments: %1</source>
        <translation>Données après les commentaires : %1</translation>
    </message>
    <message>
        <source>Chunk “%1” stored in the stream</source>
        <translation>Chunk « %1 » stocké dans le flux</translation>
    </message>
    <message>
        <source>Kept</source>
        <extracomment>Metadata stored inside the audio stream, which a strip cannot remove without changing the audio.</extracomment>
        <translation>Conservé</translation>
    </message>
    <message>
        <source>WAV metadata</source>
        <translation>Métadonnées WAV</translation>
    </message>
</context>
<context>
    <name>cleftone::SettingsWindowController</name>
    <message>
        <source>Settings</source>
        <translation>Réglages</translation>
    </message>
    <message>
        <source>Move originals to the Trash</source>
        <translation>Mettre les originaux à la corbeille</translation>
    </message>
    <message>
        <source>Before a file is replaced by its stripped copy, the original is put in the Trash, from where it can be restored.</source>
        <translation>Avant qu’un fichier soit remplacé par sa copie nettoyée, l’original est mis à la corbeille, d’où il peut être restauré.</translation>
    </message>
    <message>
        <source>Leave files without metadata untouched</source>
        <translation>Ne pas toucher aux fichiers sans métadonnées</translation>
    </message>
    <message>
        <source>A file that carries no metadata is not rewritten, so its dates stay as they were. MP3 files whose frames need repair are still rewritten.</source>
        <translation>Un fichier sans métadonnées n’est pas réécrit : ses dates restent inchangées. Les fichiers MP3 dont les trames doivent être réparées sont tout de même réécrits.</translation>
    </message>
    <message>
        <source>Don&apos;t warn me about video files</source>
        <translation>Ne pas m’avertir pour les fichiers vidéo</translation>
    </message>
    <message>
        <source>If you process a video file, Cleftone will remove the video and keep only the audio.</source>
        <translation>Si vous traitez un fichier vidéo, Cleftone supprimera la vidéo et ne gardera que le son.</translation>
    </message>
    <message>
        <source>Check for updates automatically</source>
        <translation>Rechercher automatiquement les mises à jour</translation>
    </message>
    <message>
        <source>Cleftone asks its update server once a day whether a newer version is available.</source>
        <translation>Cleftone demande une fois par jour à son serveur de mises à jour si une version plus récente est disponible.</translation>
    </message>
</context>
</TS>
