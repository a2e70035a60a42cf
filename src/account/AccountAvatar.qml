import QtQuick
import Talvoro

// The account picture in a 40 x 40 circle, or the person symbol when there is no address.
// While the picture loads, and when it cannot be loaded, a progress indicator stands in for it.
Item {
    id: avatar

    property url source
    // The colour behind the avatar: the circle is cut out by painting the corners in it, which
    // needs no shader and looks the same on every renderer.
    property color backdrop: Style.window
    property color symbolColor: Style.text
    readonly property bool hasPicture: String(source) !== ""

    implicitWidth: 40
    implicitHeight: 40
    Accessible.role: Accessible.Graphic
    Accessible.name: "头像"

    SymbolIcon {
        anchors.fill: parent
        visible: !avatar.hasPicture
        name: "person.crop.circle.fill"
        size: 40
        color: avatar.symbolColor
    }

    Image {
        id: picture
        anchors.fill: parent
        visible: avatar.hasPicture
        source: avatar.source
        asynchronous: true
        fillMode: Image.Stretch
        smooth: true
        mipmap: true
    }

    Spinner {
        objectName: "avatarProgress"
        anchors.centerIn: parent
        color: Style.secondaryText
        visible: avatar.hasPicture && picture.status !== Image.Ready
        running: visible
    }

    Canvas {
        id: corners
        anchors.fill: parent
        visible: avatar.hasPicture
        onPaint: {
            const ctx = getContext("2d");
            ctx.reset();
            ctx.fillStyle = avatar.backdrop;
            ctx.beginPath();
            ctx.rect(0, 0, width, height);
            ctx.arc(width / 2, height / 2, width / 2, 0, 2 * Math.PI, true);
            ctx.closePath();
            ctx.fill();
        }
    }
    onBackdropChanged: corners.requestPaint()
}
