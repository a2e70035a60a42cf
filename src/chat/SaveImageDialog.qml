import QtQuick
import Qt.labs.platform as Platform
import Talvoro

// The system's save panel where there is one, Qt's own otherwise; both let the user type a new
// file name, which is the point of a save panel. Loaded on the first save, so that the platform
// dialog module stays out of the start.
Item {
    function save(path) {
        panel.sourcePath = path
        panel.open()
    }

    Platform.FileDialog {
        id: panel
        property string sourcePath
        fileMode: Platform.FileDialog.SaveFile
        nameFilters: ["PNG (*.png)"]
        defaultSuffix: "png"
        folder: Platform.StandardPaths.writableLocation(Platform.StandardPaths.PicturesLocation)
        currentFile: folder + "/保存图片.png"
        onAccepted: ImageService.saveImageAs(sourcePath, file)
    }
}
